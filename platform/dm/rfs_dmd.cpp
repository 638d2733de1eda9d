// rfs-dmd: the user-space device-mapper daemon. Serves each device as a file
// on a FUSE mount under its runtime directory and answers the dmsetup,
// kpartx and lvchange stand-ins on a unix socket there.

#include "daemon.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fuse.h>
#include <memory>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace rfsdm;

namespace {

struct fuse *the_fuse = nullptr;

// The FUSE file handle owns a reference to its device, so that a device
// removed while its loop device still closes stays valid for the last I/O.
using handle_t = std::shared_ptr<device>;

handle_t *handle_of(fuse_file_info *fi) { return reinterpret_cast<handle_t *>(fi->fh); }

std::shared_ptr<device> device_of_path(const char *path)
{
    if (path[0] != '/' || !path[1])
        return nullptr;
    auto d = find_device(path + 1);
    return (d && !d->dead) ? d : nullptr;
}

int fs_getattr(const char *path, struct stat *st)
{
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0700;
        st->st_nlink = 2;
        return 0;
    }
    auto d = device_of_path(path);
    if (!d)
        return -ENOENT;
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    st->st_size = off_t(d->size_bytes());
    st->st_blksize = 4096;
    return 0;
}

int fs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *)
{
    // No path comes with a listing (the operations take none where they can
    // do without); the root is the only directory.
    if (path && std::strcmp(path, "/") != 0)
        return -ENOTDIR;
    fill(buf, ".", nullptr, 0);
    fill(buf, "..", nullptr, 0);
    for (auto &d : all_devices())
        if (!d->dead)
            fill(buf, d->name.c_str(), nullptr, 0);
    return 0;
}

int fs_open(const char *path, fuse_file_info *fi)
{
    auto d = device_of_path(path);
    if (!d)
        return -ENOENT;
    // No page cache on the file: the loop device above has its own, and a
    // table switch must show at once.
    fi->direct_io = 1;
    fi->fh = reinterpret_cast<uint64_t>(std::make_unique<handle_t>(std::move(d)).release());
    return 0;
}

int fs_release(const char *, fuse_file_info *fi)
{
    std::unique_ptr<handle_t> h(handle_of(fi));
    fi->fh = 0;
    return 0;
}

int clamp(const std::shared_ptr<device> &d, size_t &size, off_t off)
{
    uint64_t total = d->size_bytes();
    if (off < 0)
        return -EINVAL;
    if (uint64_t(off) >= total) {
        size = 0;
        return 0;
    }
    size = size_t(std::min<uint64_t>(size, total - uint64_t(off)));
    return 0;
}

int fs_read(const char *, char *buf, size_t size, off_t off, fuse_file_info *fi)
{
    auto &d = *handle_of(fi);
    if (int r = clamp(d, size, off); r < 0)
        return r;
    if (!size)
        return 0;
    int r = d->io(false, buf, size, uint64_t(off));
    return r < 0 ? r : int(size);
}

// A read that lies in one backing file is handed to FUSE as that file's
// descriptor and spliced: the daemon copies nothing.
int fs_read_buf(const char *, fuse_bufvec **bufp, size_t size, off_t off, fuse_file_info *fi)
{
    auto &d = *handle_of(fi);
    if (int r = clamp(d, size, off); r < 0)
        return r;
    auto *v = static_cast<fuse_bufvec *>(std::malloc(sizeof(fuse_bufvec)));
    if (!v)
        return -ENOMEM;
    *v = FUSE_BUFVEC_INIT(size);
    splice_source src;
    if (size && d->map_to_file(uint64_t(off), size, src)) {
        v->buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
        v->buf[0].fd = src.fd;
        v->buf[0].pos = off_t(src.pos);
        *bufp = v;
        return 0;
    }
    void *mem = size ? std::malloc(size) : nullptr;
    if (size && !mem) {
        std::free(v);
        return -ENOMEM;
    }
    if (int r = size ? d->io(false, static_cast<char *>(mem), size, uint64_t(off)) : 0; r < 0) {
        std::free(mem);
        std::free(v);
        return r;
    }
    v->buf[0].mem = mem;
    *bufp = v;
    return 0;
}

int fs_write(const char *, const char *buf, size_t size, off_t off, fuse_file_info *fi)
{
    auto &d = *handle_of(fi);
    size_t want = size;
    if (int r = clamp(d, size, off); r < 0)
        return r;
    if (size < want)
        return -ENOSPC;
    // Targets take one buffer type for both directions and never modify it
    // on writes.
    int r = d->io(true, const_cast<char *>(buf), size, uint64_t(off));
    return r < 0 ? r : int(size);
}

int fs_fsync(const char *, int, fuse_file_info *fi) { return (*handle_of(fi))->flush(); }
int fs_flush(const char *, fuse_file_info *) { return 0; }
int fs_truncate(const char *, off_t) { return -EPERM; }

// ---------------------------------------------------------------- control socket

std::atomic<bool> stop_requested{false};

void serve_client(unique_fd fd)
{
    dm_request req;
    if (!read_request(fd.get(), req))
        return;
    if (req.args.size() == 1 && req.args[0] == "__shutdown") {
        remove_all_devices();
        dm_reply rep;
        rep.rc = 0;
        write_reply(fd.get(), rep);
        stop_requested = true;
        fuse_exit(the_fuse);
        // The workers sit in read() on the FUSE device: unmounting wakes them.
        ::umount2(mount_dir().c_str(), MNT_DETACH);
        return;
    }
    if (req.args.size() == 1 && req.args[0] == "__ping") {
        dm_reply rep;
        rep.rc = 0;
        rep.out = std::to_string(::getpid()) + "\n";
        write_reply(fd.get(), rep);
        return;
    }
    write_reply(fd.get(), run_command(req));
}

void control_loop(int lfd)
{
    for (;;) {
        int c = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        std::thread(serve_client, unique_fd(c)).detach();
    }
}

unique_fd listen_socket()
{
    std::string path = socket_path();
    unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (!fd || path.size() >= sizeof sa.sun_path)
        return {};
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || ::listen(fd.get(), 64) < 0)
        return {};
    return fd;
}

// A mount left by a daemon that died answers ENOTCONN; take it away lazily.
void clear_stale_mount()
{
    std::string mnt = mount_dir();
    struct stat st{}, parent{};
    if (::stat(mnt.c_str(), &st) < 0 && errno == ENOTCONN) {
        ::umount2(mnt.c_str(), MNT_DETACH);
        return;
    }
    if (::stat(run_dir().c_str(), &parent) == 0 && ::stat(mnt.c_str(), &st) == 0 && st.st_dev != parent.st_dev)
        ::umount2(mnt.c_str(), MNT_DETACH);
}

int shutdown_daemon()
{
    dm_request req;
    req.args = {"__shutdown"};
    dm_reply rep;
    bool running = false;
    std::string error;
    if (!dm_call_if_running(req, rep, running, error)) {
        fprintf(stderr, "rfs-dmd: %s\n", error.c_str());
        return 1;
    }
    // Wait until the daemon has let go of its mount and socket.
    for (int i = 0; running && i < 500; ++i) {
        bool still = false;
        dm_request ping;
        ping.args = {"__ping"};
        dm_reply r2;
        if (!dm_call_if_running(ping, r2, still, error) || !still)
            break;
        usleep(10000);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--shutdown") == 0)
        return shutdown_daemon();
    if (argc != 1) {
        fprintf(stderr, "usage: rfs-dmd            run the daemon (dmsetup starts it on first use)\n"
                        "       rfs-dmd --shutdown remove every device and stop the daemon\n");
        return 2;
    }
    ::umask(077);
    ::mkdir(run_dir().c_str(), 0700);
    discover_dead_devices();
    clear_stale_mount();
    ::mkdir(mount_dir().c_str(), 0700);

    static fuse_operations ops{};
    ops.getattr = fs_getattr;
    ops.readdir = fs_readdir;
    ops.open = fs_open;
    ops.release = fs_release;
    ops.read = fs_read;
    ops.read_buf = fs_read_buf;
    ops.write = fs_write;
    ops.fsync = fs_fsync;
    ops.flush = fs_flush;
    ops.truncate = fs_truncate;
    ops.flag_nullpath_ok = 1;
    ops.flag_nopath = 1;

    std::string mnt = mount_dir();
    // Attribute caching stays off so that a new table's size reaches the
    // loop device at once.
    const char *fargv[] = {"rfs-dmd", "-o",
                           "allow_other,fsname=rfs-dm,subtype=rfs-dm,max_read=131072,big_writes,splice_write,"
                           "attr_timeout=0,entry_timeout=0,negative_timeout=0",
                           nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char **>(fargv));
    fuse_chan *ch = fuse_mount(mnt.c_str(), &args);
    if (!ch) {
        fprintf(stderr, "rfs-dmd: cannot mount %s\n", mnt.c_str());
        return 1;
    }
    the_fuse = fuse_new(ch, &args, &ops, sizeof ops, nullptr);
    fuse_opt_free_args(&args);
    if (!the_fuse) {
        fuse_unmount(mnt.c_str(), ch);
        return 1;
    }
    fuse_set_signal_handlers(fuse_get_session(the_fuse));
    unique_fd lfd = listen_socket();
    if (!lfd) {
        fprintf(stderr, "rfs-dmd: cannot listen on %s: %s\n", socket_path().c_str(), strerror(errno));
        fuse_unmount(mnt.c_str(), ch);
        fuse_destroy(the_fuse);
        return 1;
    }
    // For whoever has to stop a daemon that no longer answers.
    if (FILE *pf = fopen((run_dir() + "/rfs-dmd.pid").c_str(), "w")) {
        fprintf(pf, "%d\n", int(getpid()));
        fclose(pf);
    }
    std::thread(control_loop, lfd.get()).detach();
    fprintf(stderr, "rfs-dmd: serving %s\n", mnt.c_str());
    fuse_loop_mt(the_fuse);
    // The socket goes first so that no client reaches a daemon on its way out.
    ::unlink(socket_path().c_str());
    ::unlink((run_dir() + "/rfs-dmd.pid").c_str());
    if (!stop_requested)
        remove_all_devices();
    fuse_remove_signal_handlers(fuse_get_session(the_fuse));
    fuse_unmount(mnt.c_str(), ch);
    fuse_destroy(the_fuse);
    return 0;
}
