// fusermount: the appliance's FUSE unmount helper.
//
//   fusermount -u [-z] [-q] MOUNTPOINT
//
// Unmounts the FUSE file system mounted exactly at MOUNTPOINT, lazily with -z
// (a busy or dead daemon must not block the caller). Refuses mounts that are
// not FUSE, so that a wrong path cannot take down a guest file system.
// Exit 0 on success, 1 on any failure.

#include <sys/mount.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

struct options_t {
    bool unmount = false;
    bool lazy = false;
    bool quiet = false;
    std::string path;
};

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string unescape(std::string_view s)
{
    auto oct = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && oct(s[i + 1]) && oct(s[i + 2]) && oct(s[i + 3])) {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
            continue;
        }
        out += s[i];
    }
    return out;
}

// File-system type of the last mount stacked exactly at path, if any.
std::optional<std::string> mounted_fs_type(const std::string &path)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    std::optional<std::string> type;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, mnt;
        if (!(fields >> id >> parent >> devno >> root >> mnt))
            continue;
        if (unescape(mnt) != path)
            continue;
        std::string word;
        while (fields >> word && word != "-") {
        }
        std::string fstype;
        if (fields >> fstype)
            type = fstype;
    }
    return type;
}

bool is_fuse_type(const std::string &type)
{
    return type == "fuse" || type == "fuseblk" || type.rfind("fuse.", 0) == 0 || type.rfind("fuseblk.", 0) == 0;
}

// An absolute, normalised path. A dead FUSE mount cannot be resolved (ENOTCONN),
// so its parent is resolved instead.
std::string absolute_path(const std::string &path)
{
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf) != nullptr)
        return buf;
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    size_t slash = p.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : p.substr(0, slash));
    std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
    if (realpath(dir.c_str(), buf) == nullptr)
        return p;
    std::string r = buf;
    return r == "/" ? "/" + base : r + "/" + base;
}

bool parse(int argc, char **argv, options_t &o)
{
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a.size() > 1 && a[0] == '-') {
            for (char c : a.substr(1)) {
                switch (c) {
                case 'u': o.unmount = true; break;
                case 'z': o.lazy = true; break;
                case 'q': o.quiet = true; break;
                default: return false;
                }
            }
            continue;
        }
        if (!o.path.empty())
            return false;
        o.path = a;
    }
    return o.unmount && !o.path.empty();
}

} // namespace

int main(int argc, char **argv)
{
    options_t o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: %s -u [-z] [-q] MOUNTPOINT\n", argv[0]);
        return 1;
    }
    std::string path = absolute_path(o.path);
    std::optional<std::string> type = mounted_fs_type(path);
    if (!type) {
        if (!o.quiet)
            std::fprintf(stderr, "fusermount: entry for %s not found in /etc/mtab\n", path.c_str());
        return 1;
    }
    if (!is_fuse_type(*type)) {
        if (!o.quiet)
            std::fprintf(stderr, "fusermount: %s is a %s mount, not FUSE\n", path.c_str(), type->c_str());
        return 1;
    }
    if (umount2(path.c_str(), o.lazy ? MNT_DETACH : 0) != 0) {
        if (!o.quiet)
            std::fprintf(stderr, "fusermount: failed to unmount %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    return 0;
}
