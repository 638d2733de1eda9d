// Token boundaries of the descriptor scanner: longest match, tie order,
// case, quoted keywords, invalid characters and the window over a file.

#include "vmdk_fixtures.hpp"

#include "common/unique_fd.hpp"
#include "vmdk/descriptor_scanner.hpp"

#include <fcntl.h>

using namespace vmdk_test;
using T = vmdk_token_t;

namespace
{

struct token {
    T kind;
    std::string text;
    bool operator==(const token &) const = default;
};

std::ostream &operator<<(std::ostream &os, const token &t)
{
    return os << static_cast<int>(t.kind) << ":'" << t.text << "'";
}

// Tokens up to and including END or TOO_LONG (whose text is left empty).
std::vector<token> scan(descriptor_scanner &sc)
{
    std::vector<token> v;
    for (T t = sc.next();; t = sc.next()) {
        bool last = t == T::END || t == T::TOO_LONG;
        v.push_back({t, last ? "" : std::string(sc.text())});
        if (last)
            return v;
    }
}

} // namespace

// Longest match, tie order, case and invalid characters are covered through
// the parser; these are the cases it does not show.
TEST(DescriptorScanner, TokensItNeverReturnsWhole)
{
    const token end{T::END, ""};
    const struct {
        std::string input;
        std::vector<token> expected;
    } cases[] = {
        {"12G", {{T::NUMBER, "12"}, {T::LEX_ERROR, "G"}, end}},
        {"ddb\nuuid", {{T::HEXNUMBER, "ddb"}, {T::NEWLINE, "\n"}}},
        {"\"\"", {{T::LEX_ERROR, "\""}, {T::LEX_ERROR, "\""}, end}},
        {"#\n", {{T::LEX_ERROR, "#"}, {T::NEWLINE, "\n"}, end}},
    };
    for (const auto &c : cases) {
        descriptor_scanner sc(c.input.data(), c.input.size());
        std::vector<token> got = scan(sc);
        got.resize(std::min(got.size(), c.expected.size()));
        EXPECT_EQ(got, c.expected) << "input: " << c.input;
    }
}

TEST(DescriptorScanner, FileWindowKeepsTokensWholeAcrossRefills)
{
    // Tokens straddle every refill boundary of the scanner's window.
    std::string text;
    std::vector<token> expected;
    for (int i = 0; text.size() < 300000; i++) {
        std::string s = "\"name-" + std::to_string(i) + std::string(i % 997, 'x') + "\"";
        text += s + " " + std::to_string(i) + "\n";
        expected.push_back({T::STRING, s});
        expected.push_back({T::NUMBER, std::to_string(i)});
        expected.push_back({T::NEWLINE, "\n"});
    }
    expected.push_back({T::END, ""});
    temp_dir dir;
    write_file(dir.file("big"), "0123456789" + text);
    unique_fd fd(open(dir.file("big").c_str(), O_RDONLY));
    ASSERT_TRUE(fd);
    descriptor_scanner sc(fd.get(), 10); // starts past a prefix
    EXPECT_EQ(scan(sc), expected);
    EXPECT_EQ(sc.read_error(), 0);
}

TEST(DescriptorScanner, ReadErrorEndsTheScan)
{
    temp_dir dir;
    unique_fd fd(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(fd);
    descriptor_scanner sc(fd.get(), 0);
    EXPECT_EQ(sc.next(), T::END);
    EXPECT_EQ(sc.read_error(), EISDIR);
}
