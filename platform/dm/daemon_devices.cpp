#include "daemon_internal.hpp"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/loop.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace rfsdm
{

namespace
{

constexpr size_t max_name = 127; // the kernel's DM_NAME_LEN less the terminator

} // namespace

std::mutex reg_mutex; // guards `registry`; held only briefly
std::map<std::string, std::shared_ptr<device>> registry;

bool valid_name(const std::string &name)
{
    return !name.empty() && name.size() <= max_name && name != "." && name != ".." &&
           name.find('/') == std::string::npos;
}

std::string dev_mapper(const std::string &name)
{
    return "/dev/mapper/" + name;
}
std::string file_path(const std::string &name)
{
    return mount_dir() + "/" + name;
}

// ---------------------------------------------------------------- device

uint64_t device::size_bytes()
{
    std::lock_guard lk(m);
    return live ? live->sectors() * sector_size : 0;
}

int device::io(bool write, char *buf, size_t n, uint64_t off)
{
    std::shared_ptr<table> t;
    {
        std::unique_lock lk(m);
        cv.wait(lk, [&] { return !suspended || removed; });
        if (removed || !live)
            return -EIO;
        t = live;
        ++inflight;
    }
    int r = (off + n > t->sectors() * sector_size) ? -EIO : t->io(write, buf, n, off);
    {
        std::lock_guard lk(m);
        if (--inflight == 0)
            cv.notify_all();
    }
    return r;
}

bool device::map_to_file(uint64_t off, size_t n, splice_source &out, int depth)
{
    if (depth > 16) // tables that stack deeper are served by io
        return false;
    std::shared_ptr<table> t;
    {
        std::lock_guard lk(m);
        if (suspended || removed || !live)
            return false;
        t = live;
    }
    return off + n <= t->sectors() * sector_size && t->map(off, n, out, depth);
}

int device::flush()
{
    std::shared_ptr<table> t;
    {
        std::lock_guard lk(m);
        t = live;
    }
    return t ? t->flush() : 0;
}

std::shared_ptr<device> find_device(const std::string &name)
{
    std::lock_guard lk(reg_mutex);
    auto it = registry.find(name);
    return it == registry.end() ? nullptr : it->second;
}

std::shared_ptr<device> find_device_by_rdev(dev_t rdev)
{
    std::lock_guard lk(reg_mutex);
    for (auto &[n, d] : registry)
        if (d->loop_nr >= 0 && d->rdev == rdev)
            return d;
    return nullptr;
}

std::vector<std::shared_ptr<device>> all_devices()
{
    std::lock_guard lk(reg_mutex);
    std::vector<std::shared_ptr<device>> v;
    for (auto &[n, d] : registry)
        v.push_back(d);
    return v;
}

// ---------------------------------------------------------------- loop devices

int attach_loop(const std::string &file, bool read_only, int &nr, std::string &error)
{
    unique_fd ffd(::open(file.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC));
    if (!ffd) {
        error = "cannot open " + file + ": " + errno_text(errno);
        return -errno;
    }
    unique_fd ctl(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (!ctl) {
        error = std::string("cannot open /dev/loop-control: ") + errno_text(errno);
        return -errno;
    }
    // Other users of the machine take loop devices too: retry a lost race.
    for (int attempt = 0; attempt < 100; ++attempt) {
        int n = ::ioctl(ctl.get(), LOOP_CTL_GET_FREE);
        if (n < 0) {
            error = std::string("no free loop device: ") + errno_text(errno);
            return -errno;
        }
        unique_fd lfd = open_block(makedev(loop_major, unsigned(n)), O_RDWR);
        if (!lfd) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        loop_config cfg{};
        cfg.fd = uint32_t(ffd.get());
        cfg.block_size = 512;
        std::strncpy(reinterpret_cast<char *>(cfg.info.lo_file_name), file.c_str(),
                     LO_NAME_SIZE - 1);
        // Direct I/O lets the loop device pass a whole request to the file
        // at once instead of one page at a time.
        uint32_t ro = read_only ? LO_FLAGS_READ_ONLY : 0;
        cfg.info.lo_flags = LO_FLAGS_DIRECT_IO | ro;
        if (::ioctl(lfd.get(), LOOP_CONFIGURE, &cfg) == 0) {
            nr = n;
            return 0;
        }
        if (errno == EINVAL) {
            cfg.info.lo_flags = ro;
            if (::ioctl(lfd.get(), LOOP_CONFIGURE, &cfg) == 0) {
                nr = n;
                return 0;
            }
        }
        if (errno != EBUSY) {
            error = std::string("LOOP_CONFIGURE: ") + errno_text(errno);
            return -errno;
        }
    }
    error = "no free loop device after 100 attempts";
    return -EBUSY;
}

void detach_loop(int nr)
{
    unique_fd lfd = open_block(makedev(loop_major, unsigned(nr)), O_RDONLY);
    if (lfd)
        (void)::ioctl(lfd.get(), LOOP_CLR_FD, 0);
}

// Makes the loop device see a new size of its file.
void refresh_loop_size(const std::shared_ptr<device> &d)
{
    struct stat st {
    };
    (void)::stat(file_path(d->name).c_str(), &st); // refreshes the cached size
    unique_fd lfd = open_block(d->rdev, O_RDONLY);
    if (lfd)
        (void)::ioctl(lfd.get(), LOOP_SET_CAPACITY, 0);
}

bool make_node(const std::string &name, dev_t rdev, std::string &error)
{
    ::mkdir("/dev/mapper", 0755);
    std::string p = dev_mapper(name);
    ::unlink(p.c_str());
    if (::mknod(p.c_str(), S_IFBLK | 0660, rdev) < 0) {
        error = "mknod " + p + ": " + errno_text(errno);
        return false;
    }
    return true;
}

namespace
{

struct openers {
    int fds = 0;    // descriptors of processes
    int mounts = 0; // mounts of the device
    int total() const { return fds + mounts; }
};

// Who holds the block device open.
openers count_openers(dev_t rdev)
{
    openers o;
    pid_t self = ::getpid();
    if (DIR *proc = ::opendir("/proc")) {
        while (dirent *pe = ::readdir(proc)) {
            char *end = nullptr;
            long pid = std::strtol(pe->d_name, &end, 10);
            if (*end || pid <= 0 || pid == self)
                continue;
            std::string fddir = std::string("/proc/") + pe->d_name + "/fd";
            DIR *fds = ::opendir(fddir.c_str());
            if (!fds)
                continue;
            while (dirent *fe = ::readdir(fds)) {
                if (fe->d_name[0] == '.')
                    continue;
                std::string link = fddir + "/" + fe->d_name;
                char target[256];
                ssize_t len = ::readlink(link.c_str(), target, sizeof target - 1);
                // Only device nodes matter; never stat files that may sit
                // on a hung file system.
                if (len < 5 || std::strncmp(target, "/dev/", 5) != 0)
                    continue;
                struct stat st {
                };
                if (::stat(link.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == rdev)
                    ++o.fds;
            }
            ::closedir(fds);
        }
        ::closedir(proc);
    }
    std::ifstream mi("/proc/self/mountinfo");
    std::string line;
    std::string want = std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
    while (std::getline(mi, line)) {
        std::istringstream ls(line);
        std::string id, parent, mm;
        ls >> id >> parent >> mm;
        if (mm == want)
            ++o.mounts;
    }
    return o;
}

} // namespace

int open_count(const std::shared_ptr<device> &d)
{
    return d->holders + (d->loop_nr >= 0 ? count_openers(d->rdev).total() : 0);
}

// Like open_count, but rides out short opens by other processes: device
// scans (LVM, blkid, udev) open every block device for a moment, and
// libdevmapper retries a removal for the same reason.
int settled_open_count(const std::shared_ptr<device> &d)
{
    for (int attempt = 0;; ++attempt) {
        if (d->holders > 0)
            return d->holders;
        openers o = d->loop_nr >= 0 ? count_openers(d->rdev) : openers{};
        if (o.total() == 0 || o.mounts > 0 || attempt >= 25)
            return o.total();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

void discover_dead_devices()
{
    DIR *dir = ::opendir("/dev/mapper");
    if (!dir)
        return;
    std::string prefix = mount_dir() + "/";
    while (dirent *e = ::readdir(dir)) {
        std::string name = e->d_name;
        struct stat st {
        };
        if (!valid_name(name) || ::lstat(dev_mapper(name).c_str(), &st) < 0 ||
            !S_ISBLK(st.st_mode) || major(st.st_rdev) != loop_major)
            continue;
        std::ifstream bf("/sys/block/loop" + std::to_string(minor(st.st_rdev)) +
                         "/loop/backing_file");
        std::string backing;
        std::getline(bf, backing);
        if (backing.rfind(prefix, 0) != 0)
            continue;
        auto d = std::make_shared<device>();
        d->name = name;
        d->loop_nr = int(minor(st.st_rdev));
        d->rdev = st.st_rdev;
        d->dead = true;
        std::lock_guard lk(reg_mutex);
        registry[name] = d;
    }
    ::closedir(dir);
}

} // namespace rfsdm
