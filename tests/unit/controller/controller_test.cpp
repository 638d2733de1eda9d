// controller unit tests, one section per subject.

#include "controller/controller.hpp"
#include "controller/httpclnt.hpp"
#include "controller/settings.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

// The settings record: the defaults that hold until the first refresh, and
// that concurrent readers only ever see whole records.

// A record whose fields, first to last, all derive from `k`.
reg_settings_t record_of(int k)
{
    reg_settings_t s;
    std::memset(s.appliance_uuid, 'a' + k, 63);
    s.cache_ttl = s.cbt_percent = s.max_session = k;
    std::memset(s.vendor_id, 'a' + k, 10);
    s.readahead_size = static_cast<uint32_t>(k);
    return s;
}

// The k of a record made by record_of, or -1 when its fields disagree.
int k_of(const reg_settings_t &s)
{
    const int k = s.cache_ttl;
    const bool same = s.appliance_uuid[0] == 'a' + k && s.appliance_uuid[62] == 'a' + k &&
                      s.cbt_percent == k && s.vendor_id[9] == 'a' + k && s.max_session == k &&
                      s.readahead_size == static_cast<uint32_t>(k);
    return same ? k : -1;
}

// Every test leaves the defaults behind.
struct Settings : ::testing::Test {
    void TearDown() override { reg_settings_publish(reg_settings_t{}); }
};

TEST_F(Settings, DefaultsSnapshotsConcurrentUpdatesAndWholeRecords)
{
    const auto before = get_reg_settings();
    EXPECT_EQ(before->lumiread_optimize, TOL_TRUE);
    EXPECT_EQ(before->recover_automount_enabled, TOL_FALSE);
    EXPECT_EQ(before->cbt_debug_enabled, TOL_FALSE);
    reg_settings_update([](reg_settings_t &s) { s.debug_level = 7; });
    EXPECT_EQ(before->debug_level, 0);
    EXPECT_EQ(get_reg_settings()->debug_level, 7);
    EXPECT_EQ(get_reg_settings()->max_session, 50); // the rest unchanged

    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([] {
            for (int i = 0; i < 2000; ++i)
                reg_settings_update([](reg_settings_t &s) { s.cbt_percent++; });
        });
    for (auto &t : writers)
        t.join();
    EXPECT_EQ(get_reg_settings()->cbt_percent, 8000);
    EXPECT_EQ(get_reg_settings()->debug_level, 7);

    // Concurrent readers see only whole records.
    reg_settings_publish(record_of(1));
    std::atomic<bool> stop{false};
    std::atomic<long> torn{0}, reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            while (!stop.load(std::memory_order_relaxed)) {
                const int k = k_of(*get_reg_settings());
                if (k != 1 && k != 2)
                    torn.fetch_add(1);
                reads.fetch_add(1, std::memory_order_relaxed);
            }
        });
    // On a loaded machine the readers may start late: publish until they
    // have read a good many records.
    for (int i = 0; i < 50000 || reads.load() < 3000; ++i)
        reg_settings_publish(record_of(1 + i % 2));
    stop = true;
    for (auto &t : readers)
        t.join();
    EXPECT_EQ(torn.load(), 0);
}

// The HTTP client and the registry reply parser against a tiny loopback
// server that sends canned replies, piece by piece when asked.

// Serves one connection: reads the request head, then writes `pieces` with a
// pause between them. Without pieces it never accepts: the kernel still
// completes the connection, which then never gets an answer.
class canned_server
{
  public:
    explicit canned_server(std::vector<std::string> pieces) : pieces_(std::move(pieces))
    {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof(a);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), len);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        listen(fd_, 1);
        if (!pieces_.empty())
            thread_ = std::thread([this] { serve(); });
    }
    ~canned_server()
    {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        if (thread_.joinable())
            thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/api/x"; }
    std::string request;

  private:
    void serve()
    {
        int c = accept(fd_, nullptr, nullptr);
        char buf[4096];
        for (ssize_t n; c >= 0 && request.find("\r\n\r\n") == std::string::npos &&
                        (n = read(c, buf, sizeof(buf))) > 0;)
            request.append(buf, static_cast<size_t>(n));
        for (const std::string &p : pieces_) {
            if (c < 0 || write(c, p.data(), p.size()) < 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        close(c);
    }

    std::vector<std::string> pieces_;
    int fd_ = socket(AF_INET, SOCK_STREAM, 0), port_ = 0;
    std::thread thread_;
};

struct request_result {
    errdesc_t *err;
    http_response_t response;
};

// A GET, or with `body` a POST with a JSON content type.
request_result request(const std::string &url, const std::atomic<int> *flag = nullptr,
                       const char *body = nullptr)
{
    http_handle_t *h = nullptr;
    EXPECT_EQ(httpclnt_open(&h), nullptr);
    EXPECT_EQ(flag ? httpclnt_interrupt(h, flag) : nullptr, nullptr);
    if (body) {
        EXPECT_NE(httpclnt_set_content_type_in_header(h, ""), nullptr);
        EXPECT_EQ(httpclnt_set_content_type_in_header(h, "Content-Type: application/json"),
                  nullptr);
    }
    request_result r;
    httpclnt_response_init(&r.response);
    r.err = body ? httpclnt_post(h, url.c_str(), body, &r.response)
                 : httpclnt_get(h, url.c_str(), &r.response);
    httpclnt_close(h);
    return r;
}

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
        const std::string want =
            "HTTP error status " + std::to_string(r.status) + ": http://h/api/x: HDR";
        EXPECT_EQ(err ? std::string(err->string) : want, want);
    }
}

// One GET whose reply arrives in pieces, one POST with its header.
TEST(HttpClient, GetInPiecesAndPostWithHeader)
{
    const std::string whole = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\n"
                              "abcdefghij";
    for (const char *body : {(const char *)nullptr, "{\"a\":1}"}) {
        canned_server server({whole.substr(0, whole.size() - 7), "defg", "hij"});
        request_result r = request(server.url(), nullptr, body);
        EXPECT_EQ(r.err, nullptr);
        EXPECT_EQ(server.request.rfind(body ? "POST /api/x HTTP/1.1\r\n" : "GET /api/x ", 0), 0u);
        EXPECT_EQ(server.request.find("Content-Type: application/json\r\n") != std::string::npos,
                  body != nullptr);
        ASSERT_NE(r.response.body.base, nullptr);
        EXPECT_EQ(std::string(r.response.body.base, r.response.body.length + 1),
                  std::string("abcdefghij", 11));
        httpclnt_response_free(&r.response);
        EXPECT_EQ(r.response.body.base, nullptr);
    }
}

// The requests have no time limit: only the interrupt flag ends a request to
// a service that accepts connections and never answers.
TEST(HttpClient, InterruptEndsASilentService)
{
    canned_server server({});
    std::atomic<int> flag{0};
    std::thread stopper([&flag] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        flag = 1;
    });
    auto start = std::chrono::steady_clock::now();
    request_result r = request(server.url(), &flag);
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
