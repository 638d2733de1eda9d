#include "dm_table.hpp"

#include <gtest/gtest.h>

using namespace rfsdm;

TEST(DmTable, ParsesLinesAndSkipsCommentsAndBlankLines)
{
    std::vector<table_line> t;
    std::string err;
    ASSERT_TRUE(parse_table("# comment\n0 1000 linear /dev/loop3 100\n\n1000 2000 linear 7:4 7\n", t, err)) << err;
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].start, 0u);
    EXPECT_EQ(t[0].length, 1000u);
    EXPECT_EQ(t[0].target, "linear");
    EXPECT_EQ(t[0].args, (std::vector<std::string>{"/dev/loop3", "100"}));
    EXPECT_EQ(t[1].start, 1000u);
    EXPECT_EQ(t[1].args[0], "7:4");
}

TEST(DmTable, AcceptsTableWithoutFinalNewlineAndTabs)
{
    std::vector<table_line> t;
    std::string err;
    ASSERT_TRUE(parse_table("0\t8\tzero", t, err)) << err;
    ASSERT_EQ(t.size(), 1u);
    EXPECT_TRUE(t[0].args.empty());
}

TEST(DmTable, RefusesGapsOverlapsAndBadNumbers)
{
    std::vector<table_line> t;
    std::string err;
    EXPECT_FALSE(parse_table("8 8 zero\n", t, err)) << "must start at 0";
    EXPECT_FALSE(parse_table("0 8 zero\n16 8 zero\n", t, err)) << "gap";
    EXPECT_FALSE(parse_table("0 8 zero\n4 8 zero\n", t, err)) << "overlap";
    EXPECT_FALSE(parse_table("0 0 zero\n", t, err)) << "empty target";
    EXPECT_FALSE(parse_table("0 x zero\n", t, err));
    EXPECT_FALSE(parse_table("0 -8 zero\n", t, err));
    EXPECT_FALSE(parse_table("0 8\n", t, err)) << "no target type";
    EXPECT_FALSE(parse_table("0 99999999999999999999999 zero\n", t, err)) << "overflow";
    EXPECT_FALSE(parse_table("0 18446744073709551615 zero\n18446744073709551615 2 zero\n", t, err)) << "wraps";
}

TEST(DmTable, EmptyTextIsAnEmptyTable)
{
    std::vector<table_line> t;
    std::string err;
    EXPECT_TRUE(parse_table("", t, err));
    EXPECT_TRUE(t.empty());
}

TEST(DmTable, MajorMinor)
{
    unsigned ma = 0, mi = 0;
    EXPECT_TRUE(parse_major_minor("7:12", ma, mi));
    EXPECT_EQ(ma, 7u);
    EXPECT_EQ(mi, 12u);
    EXPECT_FALSE(parse_major_minor("/dev/loop7", ma, mi));
    EXPECT_FALSE(parse_major_minor("7:", ma, mi));
    EXPECT_FALSE(parse_major_minor(":7", ma, mi));
    EXPECT_FALSE(parse_major_minor("7:1:2", ma, mi));
    EXPECT_FALSE(parse_major_minor("70000:1", ma, mi));
}

TEST(DmTable, FormatsLikeDmsetup)
{
    EXPECT_EQ(format_line(0, 2048, "linear", "7:3 0"), "0 2048 linear 7:3 0");
    // dmsetup prints the blank before empty parameters too.
    EXPECT_EQ(format_line(0, 8, "zero", ""), "0 8 zero ");
}

TEST(DmTable, LvmNamesDoubleDashes)
{
    EXPECT_EQ(lvm_dm_name("vg0", "root"), "vg0-root");
    EXPECT_EQ(lvm_dm_name("1a2b3c.42p2-vg0", "root"), "1a2b3c.42p2--vg0-root");
    EXPECT_EQ(lvm_dm_name("a-b", "c-d-e"), "a--b-c--d--e");
}
