// The partition scan over a directory of partition devices.

#include "fake_programs.hpp"
#include "mounter/partitions.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace
{

using PartitionScan = FakePrograms; // the probes find nothing

TEST_F(PartitionScan, EntriesStayPackedInPartitionOrderAndFreeingClears)
{
    rfs_test::temp_dir tmp{"rfs-parts"};
    part_map_t map;
    ASSERT_EQ(vdsk_get_partitions_at(tmp.path().c_str(), "/dev/loop9", &map, TOL_FALSE), nullptr);
    EXPECT_EQ(map.count, 0u) << "a device without partitions";
    EXPECT_EQ(map.magic, PART_MAP_MAGIC);

    for (const char *n :
         {"cbt.42p1", "cbt.42p2", "cbt.42p5", "cbt.42p19", "cbt.42p20", "cbt.4p1", "cbt.42p"})
        std::ofstream(tmp / n) << "";
    map.part[7].name = "stale";
    ASSERT_EQ(vdsk_get_partitions_at(tmp.path().c_str(), "/dev/mapper/cbt.42", &map, TOL_FALSE),
              nullptr);
    EXPECT_EQ(map.max_count, PART_MAP_MAX);
    ASSERT_EQ(map.count, 4u) << "partitions 1 to 19 only";
    const char *want[] = {"cbt.42p1", "cbt.42p2", "cbt.42p5", "cbt.42p19"};
    for (uint32_t i = 0; i < map.count; ++i) {
        EXPECT_EQ(map.part[i].name, tmp / want[i]);
        EXPECT_EQ(map.part[i].magic, PARTLOGVOL_MAGIC);
        EXPECT_TRUE(map.part[i].mnt_dir.empty());
    }
    EXPECT_TRUE(map.part[7].name.empty()) << "unused entries are cleared";

    map.part[1].mnt_dir = "/vol/2";
    ASSERT_EQ(vdsk_free_partitions_ex("/dev/mapper/cbt.42", &map, TOL_FALSE), nullptr);
    EXPECT_EQ(map.count, 0u);
    EXPECT_TRUE(map.part[0].name.empty());
    EXPECT_TRUE(map.part[1].mnt_dir.empty());
}

} // namespace
