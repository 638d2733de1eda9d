// A minimal read-only pass-through FUSE file system over one directory:
// getattr, readdir, open, read (one pread per request) and release, nothing
// else. With --splice, reads answer with the file's descriptor instead
// (read_buf), so that FUSE splices the bytes from the file's page cache and
// the daemon copies nothing: the ceiling that any FUSE file system reaches on
// this machine. Used by bench/image_read.sh as the reference for reads
// through recovery_fs.
//
// Usage: bench_passthrough_fuse [--splice] SOURCE_DIR MOUNTPOINT [FUSE options]

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <climits>

namespace
{

std::string source;

std::string real(const char *path)
{
    return source + path;
}

int pt_getattr(const char *path, struct stat *st)
{
    return lstat(real(path).c_str(), st) == 0 ? 0 : -errno;
}

int pt_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info *)
{
    DIR *d = opendir(real(path).c_str());
    if (!d)
        return -errno;
    while (struct dirent *e = readdir(d))
        fill(buf, e->d_name, nullptr, 0);
    closedir(d);
    return 0;
}

int pt_open(const char *path, struct fuse_file_info *fi)
{
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    int fd = open(real(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int pt_read(const char *, char *buf, size_t size, off_t offset, struct fuse_file_info *fi)
{
    ssize_t n = pread(static_cast<int>(fi->fh), buf, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

int pt_read_buf(const char *, struct fuse_bufvec **bufp, size_t size, off_t offset,
                struct fuse_file_info *fi)
{
    auto *v = static_cast<struct fuse_bufvec *>(calloc(1, sizeof(struct fuse_bufvec)));
    if (!v)
        return -ENOMEM;
    *v = FUSE_BUFVEC_INIT(size);
    v->buf[0].flags = static_cast<enum fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    v->buf[0].fd = static_cast<int>(fi->fh);
    v->buf[0].pos = offset;
    *bufp = v;
    return 0;
}

int pt_release(const char *, struct fuse_file_info *fi)
{
    close(static_cast<int>(fi->fh));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool splice = argc > 1 && std::strcmp(argv[1], "--splice") == 0;
    if (splice) {
        argv[1] = argv[0];
        ++argv;
        --argc;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s [--splice] SOURCE_DIR MOUNTPOINT [FUSE options]\n",
                     argv[0]);
        return 2;
    }
    char resolved[PATH_MAX];
    if (!realpath(argv[1], resolved)) {
        std::perror(argv[1]);
        return 1;
    }
    source = resolved;
    struct fuse_operations ops = {};
    ops.getattr = pt_getattr;
    ops.readdir = pt_readdir;
    ops.open = pt_open;
    ops.read = pt_read;
    ops.release = pt_release;
    if (splice)
        ops.read_buf = pt_read_buf;
    // The source argument is ours; FUSE gets the rest, read-only.
    argv[1] = argv[0];
    std::string ro = "-oro";
    std::string spliced = "-osplice_write";
    std::vector<char *> args(argv + 1, argv + argc);
    args.push_back(ro.data());
    if (splice)
        args.push_back(spliced.data());
    return fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
}
