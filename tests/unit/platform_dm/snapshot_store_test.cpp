#include "snapshot_store.hpp"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

using namespace rfsdm;

namespace
{

struct mem_cow final : cow_io {
    std::vector<uint8_t> bytes;
    int fail_writes_after = -1; // -1: never
    explicit mem_cow(size_t size) : bytes(size, 0) {}
    int read(void *buf, size_t n, uint64_t off) override
    {
        if (off + n > bytes.size())
            return -EIO;
        std::memcpy(buf, bytes.data() + off, n);
        return 0;
    }
    int write(const void *buf, size_t n, uint64_t off) override
    {
        if (fail_writes_after == 0)
            return -EIO;
        if (fail_writes_after > 0)
            --fail_writes_after;
        if (off + n > bytes.size())
            return -EIO;
        std::memcpy(bytes.data() + off, buf, n);
        return 0;
    }
    uint64_t size_bytes() const override { return bytes.size(); }
    snap_disk_header header() const
    {
        snap_disk_header h{};
        std::memcpy(&h, bytes.data(), sizeof h);
        return h;
    }
};

} // namespace

TEST(SnapshotStore, NewStoreWritesHeaderAndFirstDataChunkFollowsArea)
{
    mem_cow cow(1 << 20);
    exception_store s(cow, 4, true);
    std::string err;
    ASSERT_EQ(s.init(err), 0) << err;
    auto h = cow.header();
    EXPECT_EQ(std::vector<uint32_t>({h.magic, h.valid, h.version, h.chunk_size}),
              std::vector<uint32_t>({snap_magic, 1, 1, 4}));
    uint64_t c = 0;
    ASSERT_EQ(s.allocate(c), 0);
    EXPECT_EQ(c, 2u) << "chunk 0 header, chunk 1 the first metadata area";
    cow.fail_writes_after = 0;
    EXPECT_EQ(s.commit(1, c), -EIO) << "a failed metadata write is reported";

    exception_store again(cow, 8, true);
    ASSERT_EQ(again.init(err), 0) << err;
    EXPECT_EQ(again.chunk_sectors(), 4u) << "the header's chunk size wins over the table's";
}

TEST(SnapshotStore, ExceptionsSurviveReopenAcrossAreas)
{
    mem_cow cow(4 << 20);
    std::vector<std::pair<uint64_t, uint64_t>> made;
    {
        exception_store s(cow, 4, true); // 2 KiB chunks: 128 exceptions per area
        std::string err;
        ASSERT_EQ(s.init(err), 0);
        for (uint64_t old = 0; old < 300; ++old) {
            uint64_t c = 0;
            ASSERT_EQ(s.allocate(c), 0);
            // Never a metadata area: areas sit at 1 + 129 * k.
            EXPECT_NE(c % 129, 1u) << c;
            ASSERT_EQ(s.commit(old * 7, c), 0);
            made.emplace_back(old * 7, c);
        }
    }
    exception_store again(cow, 4, true);
    std::string err;
    ASSERT_EQ(again.init(err), 0) << err;
    EXPECT_EQ(again.exception_count(), 300u);
    for (auto [old, neu] : made)
        EXPECT_EQ(again.lookup(old), neu);
    uint64_t c = 0;
    ASSERT_EQ(again.allocate(c), 0);
    EXPECT_GT(c, made.back().second) << "allocation resumes after the last used chunk";
    EXPECT_FALSE(again.lookup(1).has_value());
}

TEST(SnapshotStore, FullStoreGivesEnospcAndInvalidationPersists)
{
    mem_cow cow(10 * 2048); // 10 chunks of 2 KiB: header, area, 8 data chunks
    {
        exception_store s(cow, 4, true);
        std::string err;
        ASSERT_EQ(s.init(err), 0);
        uint64_t c = 0;
        int n = 0;
        while (s.allocate(c) == 0)
            ASSERT_EQ(s.commit(n++, c), 0);
        EXPECT_EQ(n, 8) << "every data chunk up to the end of the store is used";
        EXPECT_EQ(s.allocate(c), -ENOSPC);
        s.invalidate();
        EXPECT_FALSE(s.valid());
    }
    EXPECT_EQ(cow.header().valid, 0u);
    exception_store again(cow, 4, true);
    std::string err;
    ASSERT_EQ(again.init(err), 0);
    EXPECT_FALSE(again.valid());
}

TEST(SnapshotStore, CorruptStoresAreRefused)
{
    const snap_disk_exception past_the_end{5, 1u << 30};
    const struct {
        const char *why;
        snap_disk_header header;
        const snap_disk_exception *exception;
        uint32_t chunk_size;
        const char *message;
    } cases[] = {
        {"bad magic", {0x58, 1, 1, 4}, nullptr, 4, "Invalid or corrupt"},
        {"unknown version", {snap_magic, 1, 2, 4}, nullptr, 4, ""},
        {"exception past the end", {snap_magic, 1, 1, 4}, &past_the_end, 4, ""},
        {"chunk size no power of two", {}, nullptr, 3, ""},
    };
    for (const auto &c : cases) {
        mem_cow cow(1 << 20);
        std::memcpy(cow.bytes.data(), &c.header, sizeof c.header);
        if (c.exception)
            std::memcpy(cow.bytes.data() + 2048, c.exception, sizeof *c.exception);
        exception_store s(cow, c.chunk_size, true);
        std::string err;
        EXPECT_EQ(s.init(err), -EINVAL) << c.why;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
}

TEST(SnapshotStore, TransientStoreWritesNothingAndStartsAtChunkZero)
{
    mem_cow cow(8 * 2048);
    cow.fail_writes_after = 0; // any metadata write would fail the test
    exception_store s(cow, 4, false);
    std::string err;
    ASSERT_EQ(s.init(err), 0);
    uint64_t c = 99;
    ASSERT_EQ(s.allocate(c), 0);
    EXPECT_EQ(c, 0u);
    ASSERT_EQ(s.commit(42, c), 0);
    EXPECT_EQ(s.lookup(42), 0u);
}
