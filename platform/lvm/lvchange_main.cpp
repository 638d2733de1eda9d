// lvchange stand-in: activates (-ay) and deactivates (-an) linear logical
// volumes as devices of the user-space device-mapper. LVM metadata is read
// with the real lvm tools, which need no device-mapper for that.

#include "dm_proto.hpp"
#include "dm_table.hpp"

#include "common/unique_fd.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace rfsdm;

namespace {

constexpr int ecmd_failed = 5; // lvm's exit code for a failed command

// Metadata only: no udev, no device-mapper activation, no devices file (the
// stand-in's devices are in none). /dev/mapper is named as a scan directory
// because LVM does not descend into a separate file system under /dev, which
// a private /dev/mapper is.
std::string lvm_config = "devices{obtain_device_list_from_udev=0 use_devicesfile=0 scan=[\"/dev\",\"/dev/mapper\"]} "
                         "activation{udev_sync=0 udev_rules=0 monitoring=0} global{use_lvmpolld=0}";

std::string lvm_path()
{
    const char *e = std::getenv("RFS_LVM");
    return (e && *e) ? e : "/usr/sbin/lvm";
}

// The stand-in may be bound over the path of the real tool; never run itself.
bool is_self(const std::string &path)
{
    struct stat a{}, b{};
    return ::stat(path.c_str(), &a) == 0 && ::stat("/proc/self/exe", &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Runs lvm with `args`; its standard output is returned in `out`, its
// diagnostics go to our standard error.
int run_lvm(const std::vector<std::string> &args, std::string &out)
{
    std::string exe = lvm_path();
    if (is_self(exe)) {
        std::fprintf(stderr, "lvchange: %s is this stand-in, not lvm (set RFS_LVM)\n", exe.c_str());
        return ecmd_failed;
    }
    int pfd[2];
    if (::pipe2(pfd, O_CLOEXEC) < 0)
        return ecmd_failed;
    unique_fd rd(pfd[0]), wr(pfd[1]);
    pid_t pid = ::fork();
    if (pid < 0)
        return ecmd_failed;
    if (pid == 0) {
        ::dup2(wr.get(), 1);
        ::closefrom(3);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>("lvm"));
        for (auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        ::setenv("LVM_SUPPRESS_FD_WARNINGS", "1", 1);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    wr.reset();
    char buf[4096];
    ssize_t n;
    while ((n = ::read(rd.get(), buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            out.append(buf, size_t(n));
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : ecmd_failed;
}

std::string trim(const std::string &s)
{
    auto b = s.find_first_not_of(" \t\n");
    auto e = s.find_last_not_of(" \t\n");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::vector<std::string> split_fields(const std::string &line)
{
    std::vector<std::string> f;
    std::string cur;
    std::istringstream in(line);
    while (std::getline(in, cur, '|'))
        f.push_back(trim(cur));
    return f;
}

std::string strip_dashes(const std::string &s)
{
    std::string r;
    for (char c : s)
        if (c != '-')
            r.push_back(c);
    return r;
}

bool dm(const std::vector<std::string> &args, const std::string &input, dm_reply &rep)
{
    dm_request req;
    req.args = args;
    req.input = input;
    std::string error;
    if (!dm_call(req, rep, error)) {
        std::fprintf(stderr, "lvchange: %s\n", error.c_str());
        return false;
    }
    return true;
}

// "/dev/VG/LV" or "VG/LV" into its two names.
bool parse_lv(const std::string &arg, std::string &vg, std::string &lv)
{
    std::string s = arg;
    if (s.rfind("/dev/", 0) == 0)
        s = s.substr(5);
    auto slash = s.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == s.size() ||
        s.find('/', slash + 1) != std::string::npos)
        return false;
    vg = s.substr(0, slash);
    lv = s.substr(slash + 1);
    return true;
}

struct segment {
    uint64_t start = 0, size = 0; // sectors in the LV
    std::string pv;
    uint64_t pe_first = 0;
};

int activate(const std::string &vg, const std::string &lv)
{
    std::string out;
    int rc = run_lvm({"lvs", "--config", lvm_config, "--noheadings", "--nosuffix", "--units", "s", "--separator", "|",
                      "-o", "segtype,stripes,seg_start,seg_size,seg_pe_ranges,vg_extent_size,vg_uuid,lv_uuid",
                      vg + "/" + lv},
                     out);
    if (rc != 0)
        return rc;
    std::vector<segment> segs;
    uint64_t extent = 0;
    std::string uuid;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (trim(line).empty())
            continue;
        auto f = split_fields(line);
        if (f.size() != 8) {
            std::fprintf(stderr, "lvchange: unexpected lvs output: %s\n", line.c_str());
            return ecmd_failed;
        }
        if (!(f[0] == "linear" || (f[0] == "striped" && f[1] == "1"))) {
            std::fprintf(stderr, "lvchange: %s/%s: segment type %s is not supported\n", vg.c_str(), lv.c_str(),
                         f[0].c_str());
            return ecmd_failed;
        }
        segment s;
        // seg_pe_ranges: "PV:FIRST-LAST"
        auto colon = f[4].rfind(':');
        auto dash = f[4].rfind('-');
        uint64_t last = 0;
        if (!parse_u64(f[2], s.start) || !parse_u64(f[3], s.size) || colon == std::string::npos ||
            dash == std::string::npos || dash < colon || !parse_u64(f[4].substr(colon + 1, dash - colon - 1), s.pe_first) ||
            !parse_u64(f[4].substr(dash + 1), last) || !parse_u64(f[5], extent)) {
            std::fprintf(stderr, "lvchange: unexpected lvs output: %s\n", line.c_str());
            return ecmd_failed;
        }
        s.pv = f[4].substr(0, colon);
        uuid = "LVM-" + strip_dashes(f[6]) + strip_dashes(f[7]);
        segs.push_back(s);
    }
    if (segs.empty()) {
        std::fprintf(stderr, "lvchange: %s/%s has no segments\n", vg.c_str(), lv.c_str());
        return ecmd_failed;
    }
    std::string table;
    for (const auto &s : segs) {
        std::string pvout;
        rc = run_lvm({"pvs", "--config", lvm_config, "--noheadings", "--nosuffix", "--units", "s", "-o", "pe_start",
                      s.pv},
                     pvout);
        uint64_t pe_start = 0;
        if (rc != 0 || !parse_u64(trim(pvout), pe_start)) {
            std::fprintf(stderr, "lvchange: cannot read the data offset of %s\n", s.pv.c_str());
            return rc ? rc : ecmd_failed;
        }
        table += format_line(s.start, s.size, "linear", s.pv + " " + std::to_string(pe_start + s.pe_first * extent)) +
                 "\n";
    }

    std::string name = lvm_dm_name(vg, lv);
    dm_reply rep;
    if (!dm({"info", name}, "", rep))
        return ecmd_failed;
    bool exists = rep.rc == 0;
    if (!dm({exists ? "load" : "create", "--uuid=" + uuid, name}, table, rep))
        return ecmd_failed;
    if (rep.rc == 0 && exists && !dm({"resume", name}, "", rep))
        return ecmd_failed;
    if (rep.rc != 0) {
        std::fputs(rep.err.c_str(), stderr);
        return ecmd_failed;
    }
    // The link that LVM makes when udev does not: /dev/VG/LV.
    std::string dir = "/dev/" + vg, link = dir + "/" + lv;
    ::mkdir(dir.c_str(), 0755);
    ::unlink(link.c_str());
    if (::symlink(("/dev/mapper/" + name).c_str(), link.c_str()) < 0) {
        std::fprintf(stderr, "lvchange: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
        return ecmd_failed;
    }
    return 0;
}

int deactivate(const std::string &vg, const std::string &lv)
{
    std::string name = lvm_dm_name(vg, lv);
    dm_reply rep;
    if (!dm({"info", name}, "", rep))
        return ecmd_failed;
    if (rep.rc == 0) {
        if (!dm({"remove", name}, "", rep))
            return ecmd_failed;
        if (rep.rc != 0) {
            std::fprintf(stderr, "  Logical volume %s/%s in use.\n", vg.c_str(), lv.c_str());
            return ecmd_failed;
        }
    }
    std::string dir = "/dev/" + vg, link = dir + "/" + lv;
    struct stat st{};
    if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        ::unlink(link.c_str());
    ::rmdir(dir.c_str()); // only when empty
    return 0;
}

int usage()
{
    std::fprintf(stderr, "  lvchange -a|--activate y|n VG/LV|/dev/VG/LV ...\n");
    return 3; // lvm's EINVALID_CMD_LINE
}

} // namespace

int main(int argc, char **argv)
{
    int act = -1;
    std::vector<std::string> lvs;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string val;
        if (a == "-a" || a == "--activate") {
            if (++i >= argc)
                return usage();
            val = argv[i];
        } else if (a.rfind("-a", 0) == 0 && a.size() > 2 && a[2] != '-') {
            val = a.substr(2);
        } else if (a.rfind("--activate=", 0) == 0) {
            val = a.substr(11);
        } else if (a == "--config") {
            // The caller's settings (a device filter) come after ours, so
            // they apply to the metadata reads too, as they do for lvchange.
            if (++i >= argc)
                return usage();
            lvm_config += std::string(" ") + argv[i];
            continue;
        } else if (a == "--addtag" || a == "--deltag") {
            ++i; // metadata options the stand-in does not need
            continue;
        } else if (a[0] == '-') {
            continue; // -q, -v, -y, --noudevsync ...
        } else {
            lvs.push_back(a);
            continue;
        }
        // "ay", "aey", "aly" are all activation here: no cluster.
        if (val == "y" || val == "ey" || val == "ly" || val == "ay")
            act = 1;
        else if (val == "n" || val == "en" || val == "ln")
            act = 0;
        else
            return usage();
    }
    if (act < 0 || lvs.empty())
        return usage();
    int result = 0;
    for (const auto &arg : lvs) {
        std::string vg, lv;
        if (!parse_lv(arg, vg, lv)) {
            std::fprintf(stderr, "  Invalid logical volume name: %s\n", arg.c_str());
            result = ecmd_failed;
            continue;
        }
        int rc = act ? activate(vg, lv) : deactivate(vg, lv);
        if (rc != 0)
            result = rc;
    }
    return result;
}
