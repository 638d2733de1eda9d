// kpartx stand-in: maps the partitions of a block device as linear devices
// of the user-space device-mapper, named after the device, a delimiter and
// the partition number, as kpartx does.

#include "dm_proto.hpp"
#include "dm_table.hpp"
#include "partitions.hpp"

#include "common/unique_fd.hpp"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

using namespace rfsdm;

namespace {

// kpartx looks at no more than this many partitions.
constexpr unsigned max_slices = 256;

int usage()
{
    std::fprintf(stderr, "usage : kpartx [-a|-d|-u|-l] [-r] [-p] [-s] [-v] wholedisk\n"
                         "\t-a add partition devmappings\n"
                         "\t-d del partition devmappings\n"
                         "\t-u update partition devmappings\n"
                         "\t-l list partitions devmappings that would be added by -a\n"
                         "\t-p set device name-partition number delimiter\n"
                         "\t-v verbose\n"
                         "\t-s sync mode (default)\n");
    return 1;
}

bool call(const std::vector<std::string> &args, const std::string &input, dm_reply &rep)
{
    dm_request req;
    req.args = args;
    req.input = input;
    std::string error;
    if (!dm_call(req, rep, error)) {
        std::fprintf(stderr, "kpartx: %s\n", error.c_str());
        return false;
    }
    return true;
}

// Names of every device of the stand-in, from "dmsetup ls".
std::set<std::string> existing_maps()
{
    std::set<std::string> names;
    dm_reply rep;
    if (!call({"ls"}, "", rep) || rep.rc != 0)
        return names;
    std::istringstream in(rep.out);
    std::string line;
    while (std::getline(in, line)) {
        auto tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        std::string name = line.substr(0, tab);
        while (!name.empty() && name.back() == ' ')
            name.pop_back();
        names.insert(name);
    }
    return names;
}

bool add_map(const std::string &name, const std::string &table, bool exists)
{
    dm_reply rep;
    if (!call({exists ? "load" : "create", name}, table, rep))
        return false;
    if (rep.rc == 0 && exists && !call({"resume", name}, "", rep))
        return false;
    if (rep.rc != 0)
        std::fputs(rep.err.c_str(), stderr);
    return rep.rc == 0;
}

bool remove_map(const std::string &name)
{
    dm_reply rep;
    if (!call({"remove", name}, "", rep))
        return false;
    if (rep.rc != 0)
        std::fputs(rep.err.c_str(), stderr);
    return rep.rc == 0;
}

std::string basename_of(const std::string &path)
{
    auto p = path.find_last_of('/');
    return p == std::string::npos ? path : path.substr(p + 1);
}

} // namespace

int main(int argc, char **argv)
{
    char mode = 0;
    bool verbose = false;
    std::string delim;
    bool delim_set = false;
    int opt;
    while ((opt = ::getopt(argc, argv, "adulp:vsrgfnt:")) != -1) {
        switch (opt) {
        case 'a':
        case 'd':
        case 'u':
        case 'l':
            mode = char(opt);
            break;
        case 'p':
            delim = optarg;
            delim_set = true;
            break;
        case 'v':
            verbose = true;
            break;
        case 's':
        case 'r':
        case 'g':
        case 'f':
        case 'n':
        case 't':
            break;
        default:
            return usage();
        }
    }
    if (!mode || optind != argc - 1)
        return usage();
    std::string device = argv[optind];

    struct stat st{};
    if (::stat(device.c_str(), &st) < 0) {
        std::fprintf(stderr, "%s: stat failed: %s\n", device.c_str(), std::strerror(errno));
        return 1;
    }
    if (!S_ISBLK(st.st_mode)) {
        std::fprintf(stderr, "%s: not a block device\n", device.c_str());
        return 1;
    }
    std::string mapname = basename_of(device);
    if (!delim_set && !mapname.empty() && std::isdigit(static_cast<unsigned char>(mapname.back())))
        delim = "p";
    auto part_name = [&](unsigned n) { return mapname + delim + std::to_string(n); };

    if (mode == 'd') {
        // Every mapping by that name goes, whatever the table says now, the
        // logical partitions before the extended one.
        int failures = 0;
        auto maps = existing_maps();
        for (unsigned n = max_slices; n >= 1; --n) {
            std::string name = part_name(n);
            if (!maps.count(name))
                continue;
            if (!remove_map(name))
                ++failures;
            else if (verbose)
                std::printf("del devmap : %s\n", name.c_str());
        }
        return failures ? 1 : 0;
    }

    unique_fd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        std::fprintf(stderr, "%s: open failed: %s\n", device.c_str(), std::strerror(errno));
        return 1;
    }
    uint64_t bytes = 0;
    if (::ioctl(fd.get(), BLKGETSIZE64, &bytes) < 0) {
        std::fprintf(stderr, "%s: cannot read the size: %s\n", device.c_str(), std::strerror(errno));
        return 1;
    }
    uint64_t disk_sectors = bytes / sector_size;
    sector_reader reader = [&](uint64_t lba, size_t count, uint8_t *buf) {
        if (lba + count > disk_sectors)
            return false;
        size_t want = count * sector_size;
        size_t done = 0;
        while (done < want) {
            ssize_t r = ::pread(fd.get(), buf + done, want - done, off_t(lba * sector_size + done));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            done += size_t(r);
        }
        return true;
    };
    auto slices = read_partitions(reader, disk_sectors);

    std::string majmin = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    int failures = 0;
    auto maps = mode == 'l' ? std::set<std::string>{} : existing_maps();
    for (const auto &s : slices) {
        if (s.size == 0 || s.number > max_slices)
            continue;
        std::string name = part_name(s.number);
        if (mode == 'l') {
            std::printf("%s : 0 %ju %s %ju\n", name.c_str(), uintmax_t(s.size), device.c_str(), uintmax_t(s.start));
            continue;
        }
        // Logical partitions are mapped straight onto the disk rather than
        // through the 1 KiB mapping of their extended partition.
        std::string table = format_line(0, s.size, "linear", majmin + " " + std::to_string(s.start)) + "\n";
        if (!add_map(name, table, maps.count(name) != 0)) {
            std::fprintf(stderr, "create/reload failed on %s\n", name.c_str());
            ++failures;
            continue;
        }
        if (verbose) {
            struct stat pst{};
            std::string node = "/dev/mapper/" + name;
            ::stat(node.c_str(), &pst);
            std::printf("add map %s (%u:%u): 0 %ju linear %s %ju\n", name.c_str(), major(pst.st_rdev),
                        minor(pst.st_rdev), uintmax_t(s.size), majmin.c_str(), uintmax_t(s.start));
        }
    }
    return failures ? 1 : 0;
}
