// Token boundaries of the descriptor scanner: longest match, tie order,
// case, quoted keywords, invalid characters and the window over a file.

#include "vmdk_fixtures.hpp"

#include "common/unique_fd.hpp"
#include "vmdk/descriptor_scanner.hpp"

#include <fcntl.h>

using namespace vmdk_test;
using T = vmdk_token_t;

namespace {

struct token {
    T kind;
    std::string text;
    bool operator==(const token &) const = default;
};

std::ostream &operator<<(std::ostream &os, const token &t)
{
    return os << static_cast<int>(t.kind) << ":'" << t.text << "'";
}

std::vector<token> scan(descriptor_scanner &sc)
{
    std::vector<token> v;
    for (;;) {
        T t = sc.next();
        if (t == T::END || t == T::TOO_LONG) {
            v.push_back({t, ""});
            return v;
        }
        v.push_back({t, std::string(sc.text())});
    }
}

std::vector<token> scan(const std::string &s)
{
    descriptor_scanner sc(s.data(), s.size());
    return scan(sc);
}

} // namespace

TEST(DescriptorScanner, NumberHexAndQuotedNumber)
{
    EXPECT_EQ(scan("1234"), (std::vector<token>{{T::NUMBER, "1234"}, {T::END, ""}}));
    EXPECT_EQ(scan("12ab"), (std::vector<token>{{T::HEXNUMBER, "12ab"}, {T::END, ""}}));
    EXPECT_EQ(scan("ABCdef0"), (std::vector<token>{{T::HEXNUMBER, "ABCdef0"}, {T::END, ""}}));
    EXPECT_EQ(scan("\"123\""), (std::vector<token>{{T::NUMSTRING, "\"123\""}, {T::END, ""}}));
    EXPECT_EQ(scan("\"12a\""), (std::vector<token>{{T::STRING, "\"12a\""}, {T::END, ""}}));
    // "12g": a Number, then an invalid character.
    EXPECT_EQ(scan("12g"), (std::vector<token>{{T::NUMBER, "12"}, {T::LEX_ERROR, "g"}, {T::END, ""}}));
}

TEST(DescriptorScanner, KeywordsAgainstHexAndEachOther)
{
    // "ddb" alone is a Hex number; the whole key is longer.
    EXPECT_EQ(scan("ddb"), (std::vector<token>{{T::HEXNUMBER, "ddb"}, {T::END, ""}}));
    EXPECT_EQ(scan("ddb.uuid"), (std::vector<token>{{T::KW_DDB_UUID, "ddb.uuid"}, {T::END, ""}}));
    // "." in a ddb key is any character but a newline.
    EXPECT_EQ(scan("DDB uuid")[0].kind, T::KW_DDB_UUID);
    EXPECT_EQ(scan("ddb\nuuid")[0], (token{T::HEXNUMBER, "ddb"}));
    // "cid" beats the Hex number "c"; what follows a keyword is scanned anew.
    EXPECT_EQ(scan("cidef"),
              (std::vector<token>{{T::KW_CID, "cid"}, {T::HEXNUMBER, "ef"}, {T::END, ""}}));
    EXPECT_EQ(scan("VmFsSpArSe")[0].kind, T::KW_VMFSSPARSE);
    EXPECT_EQ(scan("vmfsx"),
              (std::vector<token>{{T::KW_VMFS, "vmfs"}, {T::LEX_ERROR, "x"}, {T::END, ""}}));
    EXPECT_EQ(scan("parentCIDparentFileNameHint"),
              (std::vector<token>{{T::KW_PARENTCID, "parentCID"},
                                  {T::KW_PARENTFILENAMEHINT, "parentFileNameHint"},
                                  {T::END, ""}}));
}

TEST(DescriptorScanner, QuotedKeywordsBeatStrings)
{
    EXPECT_EQ(scan("\"VMFS\"")[0].kind, T::Q_VMFS);
    EXPECT_EQ(scan("\"vmfsPassthroughRawDeviceMap\"")[0].kind, T::Q_VMFSPASSTHROUGHRAWDEVICEMAP);
    EXPECT_EQ(scan("\"utf-8\"")[0].kind, T::Q_UTF8);
    EXPECT_EQ(scan("\"LegacyEsx\"")[0].kind, T::Q_LEGACYESX);
    EXPECT_EQ(scan("\"vmfs2\"")[0].kind, T::STRING);
    // An empty pair of quotes is no String: two invalid characters.
    EXPECT_EQ(scan("\"\""),
              (std::vector<token>{{T::LEX_ERROR, "\""}, {T::LEX_ERROR, "\""}, {T::END, ""}}));
    // A String cannot cross a newline.
    EXPECT_EQ(scan("\"a\nb\"")[0], (token{T::LEX_ERROR, "\""}));
}

TEST(DescriptorScanner, CommentsBlanksAndInvalidCharacters)
{
    EXPECT_EQ(scan(" \t# comment \"x\" = 1\n="),
              (std::vector<token>{{T::NEWLINE, "\n"}, {T::EQUAL, "="}, {T::END, ""}}));
    EXPECT_EQ(scan("#\n"), (std::vector<token>{{T::LEX_ERROR, "#"}, {T::NEWLINE, "\n"}, {T::END, ""}}));
    EXPECT_EQ(scan("#"), (std::vector<token>{{T::LEX_ERROR, "#"}, {T::END, ""}}));
    EXPECT_EQ(scan("\r\n"), (std::vector<token>{{T::LEX_ERROR, "\r"}, {T::NEWLINE, "\n"}, {T::END, ""}}));
    std::string nul(1, '\0');
    EXPECT_EQ(scan(nul), (std::vector<token>{{T::LEX_ERROR, nul}, {T::END, ""}}));
}

TEST(DescriptorScanner, LineNumbers)
{
    descriptor_scanner sc("a\n\nb", 4);
    EXPECT_EQ(sc.next(), T::HEXNUMBER);
    EXPECT_EQ(sc.line(), 1u);
    EXPECT_EQ(sc.next(), T::NEWLINE);
    EXPECT_EQ(sc.line(), 1u);
    EXPECT_EQ(sc.next(), T::NEWLINE);
    EXPECT_EQ(sc.line(), 2u);
    EXPECT_EQ(sc.next(), T::HEXNUMBER);
    EXPECT_EQ(sc.line(), 3u);
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

TEST(DescriptorScanner, TooLongTokens)
{
    EXPECT_EQ(scan(std::string(1023, '7'))[0].kind, T::NUMBER);
    EXPECT_EQ(scan(std::string(1024, '7'))[0].kind, T::TOO_LONG);
    EXPECT_EQ(scan("\"" + std::string(1021, '7') + "\"")[0].kind, T::NUMSTRING);
    EXPECT_EQ(scan("\"" + std::string(1022, '7') + "\"")[0].kind, T::TOO_LONG);
    EXPECT_EQ(scan("\"" + std::string(5000, 's') + "\"")[0].kind, T::TOO_LONG);
    // Unclosed: no token, whatever its length.
    EXPECT_EQ(scan("\"" + std::string(5000, 's'))[0].kind, T::LEX_ERROR);
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
