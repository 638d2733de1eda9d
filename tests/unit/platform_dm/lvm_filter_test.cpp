#include "lvm_filter.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <regex>

using namespace rfsdm;

namespace
{

bool matches(const std::string &rx, const std::string &path)
{
    return std::regex_search(path, std::regex(rx));
}

} // namespace

// The expressions use only anchors, literals and one-character classes, which
// mean the same in LVM's regex and in ECMAScript.
TEST(LvmFilter, RegexMatchesExactlyThePath)
{
    const std::string names[] = {"/dev/mapper/564d-lvm.top", "/dev/mapper/a|b",
                                 "/dev/mapper/x+y*z?(1)[2]{3}$", "/dev/loop12"};
    for (const auto &n : names) {
        std::string rx = lvm_literal_regex(n);
        EXPECT_TRUE(matches(rx, n)) << rx;
        EXPECT_FALSE(matches(rx, n + "p1")) << rx;
        EXPECT_FALSE(matches(rx, "/x" + n)) << rx;
        EXPECT_EQ(rx.find('\\'), std::string::npos) << rx;
        // '|' delimits the expression in the filter: it may only appear as a class.
        EXPECT_EQ(std::count(rx.begin(), rx.end(), '|'), std::count(n.begin(), n.end(), '|')) << rx;
        EXPECT_EQ(rx.find("[|]") == std::string::npos, n.find('|') == std::string::npos) << rx;
    }
    EXPECT_FALSE(matches(lvm_literal_regex("/dev/mapper/a.top"), "/dev/mapper/aXtop"));
    EXPECT_FALSE(matches(lvm_literal_regex("/dev/loop1"), "/dev/loop12"));
}

TEST(LvmFilter, SectionRejectsNodeAndLoopOfEveryHiddenDevice)
{
    std::string conf = lvm_filter_conf("", {{"a.top", 3}, {"b", -1}});
    for (const char *want : {"devices {", "\"r|^/dev/mapper/a[.]top$|\"", "\"r|^/dev/loop3$|\"",
                             "\"r|^/dev/mapper/b$|\""})
        EXPECT_NE(conf.find(want), std::string::npos) << want << " in " << conf;
    EXPECT_EQ(conf.find("/dev/loop-1"), std::string::npos) << conf;
}

TEST(LvmFilter, KeepsTheHostSettingsAndReplacesItsOwnSection)
{
    const std::string host = "local {\n\tsystem_id = \"x\"\n}";
    std::string first = lvm_filter_conf(host, {{"one", 1}});
    ASSERT_EQ(first.rfind(host + "\n", 0), 0u) << first;

    std::string second = lvm_filter_conf(first, {{"two", 2}});
    EXPECT_EQ(second.rfind(host + "\n", 0), 0u) << second;
    EXPECT_EQ(second.find("one"), std::string::npos) << second;
    EXPECT_NE(second.find("/dev/mapper/two"), std::string::npos) << second;
    EXPECT_EQ(second.find(lvm_filter_marker), second.rfind(lvm_filter_marker));

    // Nothing suspended any more: the host's file as it was.
    EXPECT_EQ(lvm_filter_conf(second, {}), host + "\n");
}
