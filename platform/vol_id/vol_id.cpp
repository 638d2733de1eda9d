// vol_id: prints what a device holds, as the appliance's udev helper did.
//
//   vol_id -t|--type DEVICE     the content type word (ext4, vfat, swap, LVM2_member, ...)
//   vol_id -u|--uuid DEVICE     the UUID
//   vol_id -l|--label DEVICE    the label
//   vol_id -x|--export DEVICE   ID_FS_* lines for all of them
//
// Exit codes: 0 recognised, 1 usage, 2 the device cannot be opened or probed,
// 4 nothing recognised (callers treat 4 as "unknown content", not as a failure).

#include <blkid/blkid.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr int EXIT_USAGE = 1;
constexpr int EXIT_PROBE_FAILED = 2;
constexpr int EXIT_NOTHING_FOUND = 4;

enum class query_t { type, uuid, label, all };

struct probe_deleter {
    void operator()(blkid_probe pr) const { blkid_free_probe(pr); }
};
using probe_ptr = std::unique_ptr<std::remove_pointer_t<blkid_probe>, probe_deleter>;

struct probe_result_t {
    std::string type;
    std::string usage;
    std::string version;
    std::string uuid;
    std::string label;
};

int usage(const char *prog)
{
    std::fprintf(stderr, "usage: %s [-t|-u|-l|-x] DEVICE\n", prog);
    return EXIT_USAGE;
}

std::string lookup(blkid_probe pr, const char *name)
{
    const char *value = nullptr;
    if (blkid_probe_lookup_value(pr, name, &value, nullptr) != 0 || value == nullptr)
        return {};
    return value;
}

// Probes superblocks only: a whole disk with a partition table has no content
// type of its own, which is what the callers expect.
std::optional<probe_result_t> probe(const char *device, int &exit_code)
{
    probe_ptr pr(blkid_new_probe_from_filename(device));
    if (!pr) {
        std::fprintf(stderr, "vol_id: cannot open %s: %s\n", device, std::strerror(errno));
        exit_code = EXIT_PROBE_FAILED;
        return std::nullopt;
    }
    blkid_probe_enable_superblocks(pr.get(), 1);
    blkid_probe_set_superblocks_flags(pr.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_USAGE | BLKID_SUBLKS_VERSION |
                                                     BLKID_SUBLKS_UUID | BLKID_SUBLKS_LABEL);
    blkid_probe_enable_partitions(pr.get(), 0);

    int rc = blkid_do_safeprobe(pr.get());
    if (rc == 1) {
        exit_code = EXIT_NOTHING_FOUND;
        return std::nullopt;
    }
    if (rc == -2) {
        // Two signatures that contradict each other: naming either would invite a wrong mount.
        std::fprintf(stderr, "vol_id: %s: ambiguous content\n", device);
        exit_code = EXIT_NOTHING_FOUND;
        return std::nullopt;
    }
    if (rc < 0) {
        std::fprintf(stderr, "vol_id: probing %s failed\n", device);
        exit_code = EXIT_PROBE_FAILED;
        return std::nullopt;
    }
    probe_result_t r{lookup(pr.get(), "TYPE"), lookup(pr.get(), "USAGE"), lookup(pr.get(), "VERSION"),
                     lookup(pr.get(), "UUID"), lookup(pr.get(), "LABEL")};
    if (r.type.empty()) {
        exit_code = EXIT_NOTHING_FOUND;
        return std::nullopt;
    }
    exit_code = 0;
    return r;
}

std::optional<query_t> parse_query(std::string_view opt)
{
    if (opt == "-t" || opt == "--type")
        return query_t::type;
    if (opt == "-u" || opt == "--uuid")
        return query_t::uuid;
    if (opt == "-l" || opt == "--label")
        return query_t::label;
    if (opt == "-x" || opt == "--export")
        return query_t::all;
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3)
        return usage(argv[0]);
    std::optional<query_t> query = parse_query(argv[1]);
    if (!query)
        return usage(argv[0]);

    int exit_code = 0;
    std::optional<probe_result_t> r = probe(argv[2], exit_code);
    if (!r)
        return exit_code;

    switch (*query) {
    case query_t::type:
        std::printf("%s\n", r->type.c_str());
        break;
    case query_t::uuid:
        std::printf("%s\n", r->uuid.c_str());
        break;
    case query_t::label:
        std::printf("%s\n", r->label.c_str());
        break;
    case query_t::all:
        std::printf("ID_FS_USAGE=%s\nID_FS_TYPE=%s\nID_FS_VERSION=%s\nID_FS_UUID=%s\nID_FS_LABEL=%s\n",
                    r->usage.c_str(), r->type.c_str(), r->version.c_str(), r->uuid.c_str(), r->label.c_str());
        break;
    }
    return std::fflush(stdout) == 0 ? 0 : EXIT_PROBE_FAILED;
}
