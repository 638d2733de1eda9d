#include "dm_table.hpp"

#include <gtest/gtest.h>

using namespace rfsdm;

namespace
{

// The parsed table as dmsetup would print it, one line per target.
std::string reparse(const std::string &text)
{
    std::vector<table_line> t;
    std::string err;
    if (!parse_table(text, t, err))
        return "error";
    std::string out;
    for (const table_line &l : t) {
        std::string params;
        for (const std::string &a : l.args)
            params += (params.empty() ? "" : " ") + a;
        out += format_line(l.start, l.length, l.target, params) + "|";
    }
    return out;
}

} // namespace

TEST(DmTable, ParsesContiguousTablesAndRefusesTheRest)
{
    const std::pair<const char *, const char *> cases[] = {
        {"# comment\n0 1000 linear /dev/loop3 100\n\n1000 2000 linear 7:4 7\n",
         "0 1000 linear /dev/loop3 100|1000 2000 linear 7:4 7|"},
        {"0\t8\tzero",
         "0 8 zero |"}, // tabs, no final newline; dmsetup's blank before no parameters
        {"", ""},
        {"8 8 zero\n", "error"},            // must start at 0
        {"0 8 zero\n16 8 zero\n", "error"}, // gap
        {"0 8 zero\n4 8 zero\n", "error"},  // overlap
        {"0 0 zero\n", "error"},            // empty target
        {"0 8\n", "error"},                 // no target type
        {"0 99999999999999999999999 zero\n", "error"},
        {"0 18446744073709551615 zero\n18446744073709551615 2 zero\n", "error"}, // wraps
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(reparse(text), expected) << text;
}

TEST(DmTable, MajorMinorAndLvmNames)
{
    unsigned ma = 0, mi = 0;
    EXPECT_TRUE(parse_major_minor("7:12", ma, mi));
    EXPECT_EQ(std::make_pair(ma, mi), std::make_pair(7u, 12u));
    for (const char *bad : {"/dev/loop7", "7:", ":7", "7:1:2", "70000:1"})
        EXPECT_FALSE(parse_major_minor(bad, ma, mi)) << bad;
    EXPECT_EQ(lvm_dm_name("1a2b3c.42p2-vg0", "root"), "1a2b3c.42p2--vg0-root");
    EXPECT_EQ(lvm_dm_name("a-b", "c-d-e"), "a--b-c--d--e");
}
