// The device-mapper table of a disk chain, compared line by line with a table
// that the test computes grain by grain from the grain tables it wrote.

#include "mounter/dm_table.hpp"
#include "support/temp_dir.hpp"
#include "vmdk/vmdk_open.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace
{

constexpr uint32_t GS = 128;  // grain size of the hosted sparse disks
constexpr uint32_t GTE = 512; // their entries per grain table
// Two full grain tables and five grains of a third.
constexpr uint32_t CAP = 2 * GTE * GS + 5 * GS;

// One disk of a chain, base first in a case. Sparse disks list their grains
// as grain -> slot: the slot-th grain of the file's data area.
struct disk_layout {
    enum kind_t { FLAT, SPARSE, COWD, ZERO } kind = SPARSE;
    std::map<uint32_t, uint32_t> grains;
    uint32_t grainsize = GS;
    int64_t size_delta = 0;    // bytes more or less than declared (flat) or needed (sparse)
    uint32_t numgtespergt = 0; // 0: the kind's own
};

uint32_t gtes(const disk_layout &d)
{
    if (d.numgtespergt)
        return d.numgtespergt;
    return d.kind == disk_layout::COWD ? 4096 : GTE;
}

// Writes the extent file and returns the sector of each grain (the oracle's
// view of the grain tables).
std::map<uint32_t, uint64_t> write_extent(const std::string &path, const disk_layout &d)
{
    std::map<uint32_t, uint64_t> where;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (d.kind == disk_layout::FLAT || d.kind == disk_layout::ZERO) {
        EXPECT_EQ(ftruncate(fd, int64_t(CAP) * 512 + d.size_delta), 0);
        close(fd);
        return where;
    }
    const uint32_t n = gtes(d), gs = d.grainsize;
    const uint32_t tables = (CAP / gs + n - 1) / n;
    const uint64_t gd = d.kind == disk_layout::COWD ? 5 : 1; // after the header
    const uint64_t gt_sectors = n * 4 / 512;
    uint64_t next_gt = gd + (tables * 4 + 511) / 512;
    std::vector<uint32_t> dir(tables), gt(uint64_t(tables) * n);
    for (const auto &[grain, slot] : d.grains) {
        if (!dir[grain / n])
            dir[grain / n] = uint32_t(next_gt), next_gt += gt_sectors;
    }
    const uint64_t data = next_gt;
    uint64_t end = std::max<uint64_t>(data, 5); // the header is read as 2050 bytes
    for (const auto &[grain, slot] : d.grains) {
        where[grain] = data + uint64_t(slot) * gs;
        gt[grain] = uint32_t(where[grain]);
        end = std::max(end, where[grain] + gs);
    }
    char hdr[2050] = {};
    auto put32 = [&](int off, uint32_t v) { memcpy(hdr + off, &v, 4); };
    auto put64 = [&](int off, uint64_t v) { memcpy(hdr + off, &v, 8); };
    if (d.kind == disk_layout::COWD) {
        memcpy(hdr, "COWD", 4);
        put32(4, 1), put32(8, 3), put32(12, CAP), put32(16, gs), put32(20, uint32_t(gd));
        put32(24, tables);
    } else {
        memcpy(hdr, "KDMV", 4);
        put32(4, 1), put64(12, CAP), put64(20, gs), put32(44, n), put64(56, gd);
    }
    EXPECT_EQ(pwrite(fd, hdr, sizeof hdr, 0), ssize_t(sizeof hdr));
    EXPECT_EQ(pwrite(fd, dir.data(), dir.size() * 4, gd * 512), ssize_t(dir.size() * 4));
    for (uint32_t t = 0; t < tables; t++) {
        if (dir[t]) {
            EXPECT_EQ(pwrite(fd, &gt[uint64_t(t) * n], n * 4, off_t(dir[t]) * 512), n * 4);
        }
    }
    EXPECT_EQ(ftruncate(fd, off_t(end * 512) + d.size_delta), 0);
    close(fd);
    return where;
}

// Writes the chain (base first) and returns the newest disk's descriptor.
std::string write_chain(const rfs_test::temp_dir &tmp, const std::vector<disk_layout> &chain,
                        std::vector<std::map<uint32_t, uint64_t>> *grains)
{
    const char *words[] = {"FLAT", "SPARSE", "VMFSSPARSE", "ZERO"};
    std::string desc;
    for (size_t k = 0; k < chain.size(); k++) {
        const std::string name = "d" + std::to_string(k);
        grains->insert(grains->begin(), write_extent(tmp / (name + "-x.vmdk"), chain[k]));
        std::ofstream out(tmp / (name + ".vmdk"));
        out << "# Disk DescriptorFile\nversion=1\nCID=" << 100 + k
            << "\nparentCID=" << (k ? std::to_string(99 + k) : "ffffffff")
            << "\ncreateType=\"custom\"\n";
        if (k)
            out << "parentFileNameHint=\"" << desc << "\"\n";
        out << "RW " << CAP << " " << words[chain[k].kind] << " \"" << name << "-x.vmdk\""
            << (chain[k].kind == disk_layout::FLAT ? " 0" : "") << "\n";
        desc = name + ".vmdk";
    }
    return tmp / desc;
}

// The table of the chain (newest first in `grains` and `disks`), grain by
// grain: each grain from the newest disk holding it, merged with the grain
// before when the same disk supplies both from adjacent sectors within one
// grain table of the newest disk.
std::vector<std::string> oracle(const std::vector<disk_layout> &disks,
                                const std::vector<std::map<uint32_t, uint64_t>> &grains)
{
    if (disks[0].kind == disk_layout::FLAT) // one line, whatever its size
        return {"0 " + std::to_string(CAP) + " linear /dev/L0 0"};
    struct src_t {
        int disk;
        uint64_t sector;
    };
    std::vector<std::string> lines;
    const uint32_t n = gtes(disks[0]), gs = disks[0].grainsize;
    src_t run{}, prev{};
    uint64_t start = 0, len = 0;
    auto flush = [&] {
        if (!len)
            return;
        std::ostringstream s;
        s << start * gs << " " << len * gs;
        s << (run.disk < 0
                  ? " zero"
                  : " linear /dev/L" + std::to_string(run.disk) + " " + std::to_string(run.sector));
        lines.push_back(s.str());
    };
    for (uint32_t g = 0; g < CAP / gs; g++) {
        src_t src{-1, 0};
        for (size_t k = 0; k < disks.size(); k++) {
            if (disks[k].kind == disk_layout::FLAT) {
                src = {int(k), uint64_t(g) * gs};
                break;
            }
            if (auto it = grains[k].find(g); it != grains[k].end()) {
                src = {int(k), it->second};
                break;
            }
        }
        bool joins = len && g % n && src.disk == prev.disk &&
                     (src.disk < 0 || src.sector == prev.sector + gs);
        if (!joins) {
            flush();
            run = src, start = g, len = 0;
        }
        len++;
        prev = src;
    }
    flush();
    return lines;
}

struct emitted_t {
    std::vector<std::string> lines;
    std::string error; // empty on success
};

emitted_t emit(const std::string &desc_path)
{
    emitted_t out;
    vmdkdesc_t d;
    errdesc_t *err = vmdk_open(desc_path.c_str(), &d);
    uint32_t len = 0;
    if (!err)
        err = vmdk_open_dm_chain(&d, &len);
    if (err) {
        out.error = err->string;
        vmdk_close(&d);
        return out;
    }
    for (uint32_t k = 0; k < len; k++) {
        vmdkdesc_t *disk = vmdk_chain_disk(&d, k);
        for (uint32_t e = 0; e < disk->extentdesccount; e++)
            disk->extentdesc[e]->loopdev = "/dev/L" + std::to_string(k);
    }
    FILE *f = tmpfile();
    err = vmdk_emit_dm_table(fileno(f), &d, len);
    if (err)
        out.error = err->string;
    vmdk_close_dm_chain(&d, len);
    vmdk_close(&d);
    rewind(f);
    char line[8192];
    while (fgets(line, sizeof line, f))
        out.lines.emplace_back(line, strcspn(line, "\n"));
    fclose(f);
    return out;
}

disk_layout flat(int64_t delta = 0)
{
    return {disk_layout::FLAT, {}, GS, delta};
}
disk_layout sparse(std::map<uint32_t, uint32_t> g)
{
    return {disk_layout::SPARSE, std::move(g)};
}

// Each case is a chain, base first; a refused chain names its cause.
TEST(DmTable, ChainMatchesTheGrainByGrainTableOrIsRefused)
{
    const uint32_t last = CAP / GS - 1;
    disk_layout coarse = sparse({{0, 0}});
    coarse.grainsize = 2 * GS;
    disk_layout short_tables = sparse({{0, 0}});
    short_tables.numgtespergt = GTE / 2;
    disk_layout cut = sparse({{1, 0}});
    cut.size_delta = -1; // the grain's last sector is cut short
    const disk_layout zero{disk_layout::ZERO, {}};
    const struct {
        const char *what;
        std::vector<disk_layout> chain;
        const char *error = ""; // empty: the table must match the oracle
    } cases[] = {
        {"flat disk alone", {flat()}},
        {"flat one byte longer than declared", {flat(1)}},
        {"two grains stored together", {flat(), sparse({{0, 0}, {1, 1}})}},
        {"grains not stored one after the other", {flat(), sparse({{0, 0}, {1, 2}, {2, 1}})}},
        {"empty delta: one line per grain table", {flat(), sparse({})}},
        {"run stops at a grain table", {flat(), sparse({{GTE - 1, 0}, {GTE, 1}, {last, 2}})}},
        {"delta over a sparse base, holes read as zeros",
         {sparse({{2, 0}, {3, 1}, {4, 2}, {700, 3}}), sparse({{3, 0}, {5, 1}})}},
        {"three levels over flat",
         {flat(), sparse({{1, 0}, {2, 1}, {3, 2}, {9, 3}}), sparse({{2, 0}, {9, 1}})}},
        {"three levels over sparse",
         {sparse({{0, 0}, {1, 1}, {GTE + 4, 2}}), sparse({{1, 0}}), sparse({{GTE + 5, 0}})}},
        {"COWD delta over flat", {flat(), {disk_layout::COWD, {{0, 0}, {1, 1}, {300, 2}}, 1}}},
        {"sparse disk alone", {sparse({{0, 3}, {1, 0}})}},
        {"flat one sector short", {flat(-512)}, "do not match with the expected extent size"},
        {"flat base one sector short",
         {flat(-512), sparse({})},
         "do not match with the expected extent size"},
        {"grain size differs", {coarse, sparse({})}, "differing grain geometry"},
        {"entries per grain table differ", {short_tables, sparse({})}, "differing grain geometry"},
        {"grain beyond the end of its file", {flat(), cut}, "beyond the end of the file"},
        {"zero extent", {zero}, "of kind ET_ZERO, which cannot be mapped"},
        {"zero extent below a delta", {zero, sparse({})}, "which a snapshot chain cannot map"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        rfs_test::temp_dir tmp{"rfs-dmtable"};
        std::vector<std::map<uint32_t, uint64_t>> grains;
        emitted_t got = emit(write_chain(tmp, c.chain, &grains));
        if (*c.error) {
            EXPECT_NE(got.error.find(c.error), std::string::npos) << got.error;
            continue;
        }
        EXPECT_EQ(got.error, "");
        EXPECT_EQ(got.lines, oracle({c.chain.rbegin(), c.chain.rend()}, grains));
    }
}

} // namespace
