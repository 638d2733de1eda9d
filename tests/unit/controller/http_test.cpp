// The HTTP client and the registry reply parser against a tiny loopback
// server that sends canned replies, piece by piece when asked.

#include "controller/controller.hpp"
#include "controller/httpclnt.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

// Serves one connection: reads the request head, then writes `pieces` with a
// pause between them. With `silent` it accepts and never answers.
class canned_server
{
  public:
    explicit canned_server(std::vector<std::string> pieces, bool silent = false)
        : pieces_(std::move(pieces)), silent_(silent)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        listen(fd_, 1);
        thread_ = std::thread([this] { serve(); });
    }
    ~canned_server()
    {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        done_ = true;
        thread_.join();
    }
    std::string url(const char *path = "/api/x") const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::string request() const { return request_; }

  private:
    void serve()
    {
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0)
            return;
        char buf[4096];
        ssize_t n;
        while ((n = read(c, buf, sizeof(buf))) > 0) {
            request_.append(buf, static_cast<size_t>(n));
            if (request_.find("\r\n\r\n") != std::string::npos)
                break;
        }
        while (silent_ && !done_)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (const std::string &p : pieces_) {
            if (write(c, p.data(), p.size()) < 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        close(c);
    }

    std::vector<std::string> pieces_;
    bool silent_;
    std::atomic<bool> done_{false};
    int fd_ = -1;
    int port_ = 0;
    std::string request_;
    std::thread thread_;
};

struct request_result {
    errdesc_t *err;
    http_response_t response;
};

request_result get(const std::string &url, const std::atomic<int> *flag = nullptr)
{
    http_handle_t *h = nullptr;
    EXPECT_EQ(httpclnt_open(&h), nullptr);
    if (flag) {
        EXPECT_EQ(httpclnt_interrupt(h, flag), nullptr);
    }
    request_result r;
    httpclnt_response_init(&r.response);
    r.err = httpclnt_get(h, url.c_str(), &r.response);
    httpclnt_close(h);
    return r;
}

std::string reply(const char *status_line, const std::string &body, const char *extra = "")
{
    return std::string("HTTP/1.1 ") + status_line +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
           "Connection: close\r\n\r\n" + body;
}

} // namespace

TEST(HttpClient, StatusTable)
{
    const struct {
        long status;
        int number; // 0: success
    } rows[] = {{0, 0},        {299, 0},      {300, EIO}, {400, EIO},   {401, EKEYEXPIRED},
                {404, EAGAIN}, {500, EAGAIN}, {502, EIO}, {503, EAGAIN}};
    for (const auto &r : rows) {
        errdesc_t *err = httpclnt_check_response(r.status, "http://h/api/x", "HDR");
        EXPECT_EQ(err ? err->number : 0, r.number) << r.status;
        if (err) {
            EXPECT_EQ(std::string(err->string),
                      "HTTP error status " + std::to_string(r.status) + ": http://h/api/x: HDR");
        }
    }
}

TEST(HttpClient, RepliesInPiecesNoContentAndErrorStatus)
{
    const std::string whole = reply("200 OK", "abcdefghij");
    const struct {
        std::vector<std::string> pieces;
        int number;       // 0: success
        const char *body; // null: none
    } cases[] = {
        {{whole.substr(0, whole.size() - 7), "defg", "hij"}, 0, "abcdefghij"},
        {{"HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n"}, 0, nullptr},
        // An error status keeps what arrived.
        {{reply("404 Not Found", "gone")}, EAGAIN, "gone"},
    };
    for (const auto &c : cases) {
        canned_server server(c.pieces);
        request_result r = get(server.url());
        EXPECT_EQ(r.err ? r.err->number : 0, c.number) << c.pieces[0];
        EXPECT_EQ(server.request().rfind("GET /api/x HTTP/1.1\r\n", 0), 0u);
        if (!c.body) {
            EXPECT_EQ(r.response.body.base, nullptr);
            EXPECT_EQ(r.response.body.length, 0u);
        } else {
            ASSERT_NE(r.response.body.base, nullptr);
            EXPECT_EQ(std::string(r.response.body.base, r.response.body.length), c.body);
            EXPECT_EQ(r.response.body.base[r.response.body.length], '\0');
        }
        if (c.number) {
            EXPECT_EQ(std::string(r.err->string)
                          .rfind("HTTP error status 404: " + server.url() +
                                     ": HTTP/1.1 404 Not Found\r\n",
                                 0),
                      0u)
                << r.err->string;
        }
        httpclnt_response_free(&r.response);
        EXPECT_EQ(r.response.body.base, nullptr);
    }
}

TEST(HttpClient, PostSendsBodyAndHeader)
{
    canned_server server({reply("200 OK", "{}")});
    http_handle_t *h = nullptr;
    ASSERT_EQ(httpclnt_open(&h), nullptr);
    EXPECT_NE(httpclnt_set_content_type_in_header(h, ""), nullptr);
    ASSERT_EQ(httpclnt_set_content_type_in_header(h, "Content-Type: application/json"), nullptr);
    http_response_t resp;
    httpclnt_response_init(&resp);
    ASSERT_EQ(httpclnt_post(h, server.url().c_str(), "{\"a\":1}", &resp), nullptr);
    httpclnt_response_free(&resp);
    httpclnt_close(h);
    EXPECT_EQ(server.request().rfind("POST /api/x HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(server.request().find("Content-Type: application/json\r\n"), std::string::npos);
}

// The requests have no time limit: only the interrupt flag ends a request to
// a service that accepts connections and never answers.
TEST(HttpClient, InterruptEndsASilentService)
{
    canned_server server({}, true);
    std::atomic<int> flag{0};
    std::thread stopper([&flag] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        flag = 1;
    });
    auto start = std::chrono::steady_clock::now();
    request_result r = get(server.url(), &flag);
    stopper.join();
    ASSERT_NE(r.err, nullptr);
    EXPECT_EQ(r.err->number, CURLE_ABORTED_BY_CALLBACK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    httpclnt_response_free(&r.response);
}

TEST(RegistryReply, ParsesOrRefuses)
{
    struct row {
        const char *json;
        int number;
        const char *text; // value, or the error text
    } rows[] = {
        {"{\"error_code\":0,\"result\":\"42\"}", 0, "42"},
        {"{\"error_code\":0,\"result\":\"0123456789abc\"}", 0, "012345678"}, // cut to the buffer
        {"not json", ERR_JSON_PARSE_ERROR, "could not parse json_string"},
        {"{\"error_code\":-1,\"result\":\"1\"}", ERR_JSON_MISSING_FIELD,
         "Missing error_code in json string"},
        {"{\"error_code\":3,\"result\":\"\"}", ERR_REGISTRY_KEY_NOT_FOUND,
         "Registry k.x is not found"},
        {"{\"error_code\":0}", ERR_JSON_MISSING_FIELD, "Missing result in json string"},
    };
    for (const row &r : rows) {
        char buf[10] = "old";
        errdesc_t *err = json_parse_registry_value(r.json, "k.x", buf, sizeof(buf));
        EXPECT_EQ(err ? err->number : 0, r.number) << r.json;
        EXPECT_STREQ(err ? err->string : buf, r.text);
    }
}
