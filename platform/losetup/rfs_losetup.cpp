// rfs-losetup: /sbin/losetup inside the appliance sandbox, and the sandbox's
// record of the loop devices attached inside.
//
//   rfs-losetup [LOSETUP ARGS...]   runs the real losetup; an attach is
//                                   recorded, "-d" and "-D" only detach
//                                   recorded devices
//   rfs-losetup --rfs-own           prints the recorded devices whose
//                                   attachment is still the recorded one
//
// The record ("loops" in the state directory) holds one line per attachment:
// "DEV INODE MAJ:MIN BACKING-PATH", the identity of the backing file at
// attach time. A device counts as attached inside only while it still shows
// that identity, so the appliance's crash recovery, which detaches every loop
// device it can, never touches the host's. Environment: RFS_LOSETUP_REAL (the
// real losetup, default "/run/rfs-sandbox/bin/losetup") and RFS_LOSETUP_STATE
// (default "/run/rfs-sandbox/state").
//
// A program rather than a script: every process costs several milliseconds
// here, and the appliance's view attaches three loop devices before its first
// file, each attach a find and an attach of its own.

#include <dirent.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace
{

std::string env_or(const char *name, const char *fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? v : fallback;
}

const std::string real_losetup = env_or("RFS_LOSETUP_REAL", "/run/rfs-sandbox/bin/losetup");
const std::string state_dir = env_or("RFS_LOSETUP_STATE", "/run/rfs-sandbox/state");

std::string base_name(const std::string &dev)
{
    return dev.substr(dev.rfind('/') + 1);
}

std::string read_line(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// "INODE MAJ:MIN" of what DEV is attached to, as "losetup -O BACK-INO,BACK-MAJ:MIN" shows it.
std::optional<std::string> identity(const std::string &dev)
{
    const int fd = open(dev.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct loop_info64 info = {};
    const int r = ioctl(fd, LOOP_GET_STATUS64, &info);
    close(fd);
    if (r < 0)
        return std::nullopt;
    const auto backing = static_cast<dev_t>(info.lo_device);
    return std::to_string(info.lo_inode) + " " + std::to_string(major(backing)) + ":" +
           std::to_string(minor(backing));
}

std::string backing_path(const std::string &dev)
{
    return read_line("/sys/block/" + base_name(dev) + "/loop/backing_file");
}

// The host's device nodes were copied when the sandbox started; loop devices
// that the kernel made since get their node here.
void make_node(const std::string &dev)
{
    struct stat st;
    if (stat(dev.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
        return;
    const std::string majmin = read_line("/sys/block/" + base_name(dev) + "/dev");
    unsigned ma = 0, mi = 0;
    if (std::sscanf(majmin.c_str(), "%u:%u", &ma, &mi) == 2)
        mknod(dev.c_str(), S_IFBLK | 0660, makedev(ma, mi));
}

void make_all_nodes()
{
    DIR *dir = opendir("/sys/block");
    if (!dir)
        return;
    while (const struct dirent *e = readdir(dir))
        if (std::string(e->d_name).rfind("loop", 0) == 0)
            make_node(std::string("/dev/") + e->d_name);
    closedir(dir);
}

// Runs the real losetup with ARGS; its output is captured into `out` when
// given, its complaints dropped when `quiet`.
int run(const std::vector<std::string> &args, std::string *out = nullptr, bool quiet = false)
{
    int pipefd[2] = {-1, -1};
    if (out && pipe2(pipefd, O_CLOEXEC) != 0)
        return 1;
    const pid_t pid = fork();
    if (pid == 0) {
        if (out)
            dup2(pipefd[1], STDOUT_FILENO);
        if (quiet) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDERR_FILENO);
        }
        std::vector<char *> argv{const_cast<char *>(real_losetup.c_str())};
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (out) {
        close(pipefd[1]);
        char buf[4096];
        ssize_t n;
        while ((n = read(pipefd[0], buf, sizeof(buf))) > 0)
            out->append(buf, static_cast<size_t>(n));
        close(pipefd[0]);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void record(const std::string &dev)
{
    const auto id = identity(dev);
    if (!id)
        return;
    std::ofstream(state_dir + "/loops", std::ios::app)
        << dev << " " << *id << " " << backing_path(dev) << "\n";
}

// Whether DEV holds the recorded attachment. Should the device no longer
// answer for its backing file, its path still tells; once the file system
// under it is gone the kernel shows that path from its root only.
bool attached_as_recorded(const std::string &dev, const std::string &id, const std::string &path)
{
    if (identity(dev) == id)
        return true;
    const std::string now = backing_path(dev);
    return !path.empty() && !now.empty() && now[0] == '/' &&
           (path == now || (path.size() > now.size() &&
                            path.compare(path.size() - now.size(), now.size(), now) == 0));
}

std::set<std::string> own_loops()
{
    std::set<std::string> own;
    std::ifstream in(state_dir + "/loops");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string dev, ino, majmin, path;
        if (!(fields >> dev >> ino >> majmin))
            continue;
        std::getline(fields >> std::ws, path);
        if (attached_as_recorded(dev, ino + " " + majmin, path))
            own.insert(dev);
    }
    return own;
}

struct request {
    bool find = false, show = false, detach = false, detach_all = false;
    std::vector<std::string> opts, pos;
};

request parse(const std::vector<std::string> &args)
{
    static const std::set<std::string> with_value = {
        "-o", "--offset",     "--sizelimit", "-b",      "--sector-size",
        "-j", "--associated", "-O",          "--output"};
    request r;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "-f" || a == "--find")
            r.find = true;
        else if (a == "--show")
            r.show = true;
        else if (a == "-d" || a == "--detach")
            r.detach = true;
        else if (a == "-D" || a == "--detach-all")
            r.detach_all = true;
        else if (with_value.count(a)) {
            r.opts.push_back(a);
            r.opts.push_back(i + 1 < args.size() ? args[++i] : "");
        } else if (a == "--") {
            r.pos.insert(r.pos.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        } else if (a.size() > 1 && a[0] == '-')
            r.opts.push_back(a);
        else
            r.pos.push_back(a);
    }
    return r;
}

int detach(const std::vector<std::string> &devs)
{
    const auto own = own_loops();
    int rc = 0;
    for (const auto &dev : devs) {
        if (!own.count(dev)) {
            std::fprintf(stderr, "losetup: %s: not attached inside this sandbox, left alone\n",
                         dev.c_str());
            rc = 1;
        } else if (run({"-d", dev}) != 0) {
            rc = 1;
        }
    }
    return rc;
}

std::string first_line(const std::string &text)
{
    return text.substr(0, text.find('\n'));
}

// The real losetup's arguments to attach FILE to DEV with the caller's options.
std::vector<std::string> attach_args(const request &r, const std::string &dev,
                                     const std::string &file)
{
    std::vector<std::string> args = r.opts;
    args.insert(args.end(), {dev, file});
    return args;
}

// Attaches FILE to the first free device; another process may take it
// between the look-up and the attach, so try again then.
int attach_first_free(const request &r)
{
    std::string dev;
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string out;
        if (run({"-f"}, &out) != 0)
            return 1;
        dev = first_line(out);
        make_node(dev);
        if (run(attach_args(r, dev, r.pos[0]), nullptr, true) ==
            0) { // a complaint is for the last try only
            record(dev);
            if (r.show)
                std::printf("%s\n", dev.c_str());
            return 0;
        }
        if (!identity(dev))
            break;
    }
    run(attach_args(r, dev, r.pos[0]));
    return 1;
}

int losetup(const std::vector<std::string> &args)
{
    const request r = parse(args);
    if (r.detach_all) {
        std::vector<std::string> own;
        for (const auto &dev : own_loops())
            own.push_back(dev);
        return detach(own);
    }
    if (r.detach)
        return detach(r.pos);
    if (r.find && r.pos.size() == 1)
        return attach_first_free(r);
    if (!r.find && r.pos.size() == 2) {
        make_node(r.pos[0]);
        if (const int rc = run(attach_args(r, r.pos[0], r.pos[1])))
            return rc;
        record(r.pos[0]);
        if (r.show)
            std::printf("%s\n", r.pos[0].c_str());
        return 0;
    }
    if (r.find && !r.show && r.pos.empty() && r.opts.empty()) {
        // "-f" alone prints the first free device, which the kernel may have just made.
        std::string out;
        if (const int rc = run({"-f"}, &out))
            return rc;
        make_node(first_line(out));
        std::fputs(out.c_str(), stdout);
        return 0;
    }
    make_all_nodes();
    const int rc = run(args);
    make_all_nodes();
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "--rfs-own") {
        for (const auto &dev : own_loops())
            std::printf("%s\n", dev.c_str());
        return 0;
    }
    return losetup(args);
}
