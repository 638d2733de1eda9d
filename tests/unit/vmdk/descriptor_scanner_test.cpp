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

TEST(DescriptorScanner, LongestMatchTieOrderAndInvalidCharacters)
{
    const token end{T::END, ""};
    const std::string nul(1, '\0');
    // Only as many tokens as expected are compared.
    const struct {
        std::string input;
        std::vector<token> expected;
    } cases[] = {
        {"1234", {{T::NUMBER, "1234"}, end}},
        {"12ab", {{T::HEXNUMBER, "12ab"}, end}},
        {"\"123\"", {{T::NUMSTRING, "\"123\""}, end}},
        {"\"12a\"", {{T::STRING, "\"12a\""}, end}},
        {"12g", {{T::NUMBER, "12"}, {T::LEX_ERROR, "g"}, end}},
        // "ddb" alone is a Hex number; "." in a ddb key is any character but
        // a newline.
        {"ddb", {{T::HEXNUMBER, "ddb"}, end}},
        {"ddb.uuid", {{T::KW_DDB_UUID, "ddb.uuid"}, end}},
        {"DDB uuid", {{T::KW_DDB_UUID, "DDB uuid"}, end}},
        {"ddb\nuuid", {{T::HEXNUMBER, "ddb"}}},
        // "cid" beats the Hex number "c"; what follows a keyword is scanned anew.
        {"cidef", {{T::KW_CID, "cid"}, {T::HEXNUMBER, "ef"}, end}},
        {"vmfsx", {{T::KW_VMFS, "vmfs"}, {T::LEX_ERROR, "x"}, end}},
        {"parentCIDparentFileNameHint",
         {{T::KW_PARENTCID, "parentCID"}, {T::KW_PARENTFILENAMEHINT, "parentFileNameHint"}, end}},
        // Quoted keywords beat Strings; "" is no String; a String cannot
        // cross a newline.
        {"\"VMFS\"", {{T::Q_VMFS, "\"VMFS\""}}},
        {"\"vmfsPassthroughRawDeviceMap\"",
         {{T::Q_VMFSPASSTHROUGHRAWDEVICEMAP, "\"vmfsPassthroughRawDeviceMap\""}}},
        {"\"utf-8\"", {{T::Q_UTF8, "\"utf-8\""}}},
        {"\"LegacyEsx\"", {{T::Q_LEGACYESX, "\"LegacyEsx\""}}},
        {"\"vmfs2\"", {{T::STRING, "\"vmfs2\""}}},
        {"\"\"", {{T::LEX_ERROR, "\""}, {T::LEX_ERROR, "\""}, end}},
        {"\"a\nb\"", {{T::LEX_ERROR, "\""}}},
        // Comments and blanks are never returned; "#" before a newline is
        // an invalid character.
        {" \t# comment \"x\" = 1\n=", {{T::NEWLINE, "\n"}, {T::EQUAL, "="}, end}},
        {"#\n", {{T::LEX_ERROR, "#"}, {T::NEWLINE, "\n"}, end}},
        {"#", {{T::LEX_ERROR, "#"}, end}},
        {"\r\n", {{T::LEX_ERROR, "\r"}, {T::NEWLINE, "\n"}, end}},
        {nul, {{T::LEX_ERROR, nul}, end}},
    };
    for (const auto &c : cases) {
        descriptor_scanner sc(c.input.data(), c.input.size());
        std::vector<token> got = scan(sc);
        if (got.size() > c.expected.size())
            got.resize(c.expected.size());
        EXPECT_EQ(got, c.expected) << "input: " << c.input.substr(0, 40);
    }
}

TEST(DescriptorScanner, LineNumbers)
{
    descriptor_scanner sc("a\n\nb", 4);
    for (unsigned line : {1u, 1u, 2u, 3u}) {
        sc.next();
        EXPECT_EQ(sc.line(), line);
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
