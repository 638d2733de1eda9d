// Directory creation and removal, closing with logging, positioned I/O that
// survives signals, the FUSE unmount helper and the mode diagnostic.

#include "common/files.hpp"

#include "common/logging.hpp"
#include "common/programs.hpp"
#include "common/spawn.hpp"
#include "common/strings.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

int mkdirp(const char *pathname, mode_t mode)
{
    size_t len = strlen(pathname);
    if (len >= static_cast<size_t>(TOL_PATH_MAX)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    char path[TOL_PATH_MAX];
    memcpy(path, pathname, len + 1);

    // Mask 0 so that the directories get exactly `mode`.
    mode_t old_mask = umask(0);
    int rc = 0;
    for (size_t i = 1; i < len; i++) {
        if (path[i] != '/')
            continue;
        path[i] = '\0';
        int made = mkdir(path, mode);
        path[i] = '/';
        if (made != 0 && errno != EEXIST) {
            rc = -1;
            break;
        }
    }
    if (rc == 0 && mkdir(path, mode) != 0 && errno != EEXIST)
        rc = -1;
    int saved_errno = errno;
    umask(old_mask);
    errno = saved_errno;
    return rc;
}

namespace {

// Whether a directory entry is itself a directory; file systems that do not
// report the type in the listing need a look at the entry.
bool entry_is_dir(const struct dirent *ent, const char *path)
{
    if (ent->d_type != DT_UNKNOWN)
        return ent->d_type == DT_DIR;
    struct stat st;
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

errdesc_t *rmdirr_entries(DIR *dir, const char *pathname)
{
    while (struct dirent *ent = readdir(dir)) {
        if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0)
            continue;
        char path[TOL_PATH_MAX];
        int len = snprintf(path, sizeof(path), "%s/%s", pathname, ent->d_name);
        if (len < 0 || len >= TOL_PATH_MAX)
            return errdesc_set_fmt(ENAMETOOLONG, "rmdirr(%s): entry name too long: %s", pathname,
                                   ent->d_name);
        if (entry_is_dir(ent, path)) {
            if (errdesc_t *err = rmdirr(path))
                return err;
            continue;
        }
        if (unlink(path) != 0) {
            int e = errno;
            return errdesc_set_fmt(e, "rmdirr(%s): unlink(%s) failed: %s", pathname, path,
                                   strerror(e));
        }
    }
    return nullptr;
}

} // namespace

errdesc_t *rmdirr(const char *pathname)
{
    DIR *dir = opendir(pathname);
    if (!dir) {
        if (errno == ENOENT)
            return nullptr;
        errdesc_t *err = errdesc_set_str(errno, pathname);
        errdesc_log(err, TOL_PRIO_ERROR);
        return err;
    }
    errdesc_t *err = rmdirr_entries(dir, pathname);
    if (closedir(dir) != 0)
        ts_printf("rmdirr(%s): closedir failed: %s\n", pathname, strerror(errno));
    if (!err) {
        if (rmdir(pathname) != 0)
            ts_printf("rmdirr(%s): rmdir failed: %s\n", pathname, strerror(errno));
        return nullptr;
    }
    errdesc_log(err, TOL_PRIO_ERROR);
    return err;
}

void tol_safe_close(int *fd)
{
    if (*fd >= 0 && close(*fd) != 0)
        errdesc_log_aside(TOL_PRIO_INFO, errno, "failed closing fd %d", *fd);
    *fd = -1;
}

void tol_close_on_exec()
{
    // One system call where the kernel has it; this runs in a forked child
    // of a threaded process, so only system calls are allowed.
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    long max = sysconf(_SC_OPEN_MAX);
    if (max < 0)
        max = 1024;
    for (int fd = 3; fd < max; fd++)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
}

void tol_safe_fclose(FILE **fp)
{
    if (!fp || !*fp)
        return;
    FILE *stream = *fp;
    if (ferror(stream))
        errdesc_log_aside(TOL_PRIO_INFO, errno, "tol_safe_fclose(%p)", static_cast<void *>(stream));

    if (!feof(stream)) {
        // Read what the writer still sends, so that a child never dies on a
        // closed pipe; a lone trailing newline is not worth reporting.
        char buf[1024];
        size_t discarded = 0;
        size_t got;
        while ((got = fread(buf, 1, sizeof(buf), stream)) > 0) {
            if (got == 1 && buf[0] == '\n')
                continue;
            discarded += got;
        }
        if (discarded > 0)
            errdesc_log_aside(TOL_PRIO_INFO, EBADE, "tol_safe_fdrain(%p): discarded %zd bytes",
                              static_cast<void *>(stream), static_cast<ssize_t>(discarded));
    }

    // The address is only a name in the message; take it before the close.
    char name[32];
    snprintf(name, sizeof(name), "%p", static_cast<void *>(stream));
    if (fclose(stream) != 0)
        errdesc_log_aside(TOL_PRIO_INFO, errno, "tol_safe_fclose(%s)", name);
    *fp = nullptr;
}

namespace {

// Both directions move the whole buffer, resuming after signals; only the
// system call and its name differ.
template <typename Buf, typename Op>
errdesc_t *whole_buffer_io(const char *name, Op op, int fd, Buf *vbuf, size_t count, off_t offset,
                           size_t *rcntp)
{
    size_t done = 0;
    size_t remaining = count;
    while (remaining > 0) {
        ssize_t n = op(fd, vbuf + done, remaining, offset + static_cast<off_t>(done));
        if (n == 0)
            break;
        if (n > 0) {
            done += static_cast<size_t>(n);
            remaining -= static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        int e = errno;
        char msg[512];
        snprintf(msg, sizeof(msg), "%s(%d, %p, %zd, %jd) failed", name, fd,
                 static_cast<const void *>(vbuf), static_cast<ssize_t>(count),
                 static_cast<intmax_t>(offset));
        return errdesc_set_str(e, msg);
    }
    if (rcntp)
        *rcntp = done;
    return nullptr;
}

} // namespace

errdesc_t *tol_pread(int fd, void *vbuf, size_t count, off_t offset, size_t *rcntp)
{
    return whole_buffer_io("tol_pread", ::pread, fd, static_cast<char *>(vbuf), count, offset,
                           rcntp);
}

errdesc_t *tol_pwrite(int fd, const void *vbuf, size_t count, off_t offset, size_t *rcntp)
{
    return whole_buffer_io("tol_pwrite", ::pwrite, fd, static_cast<const char *>(vbuf), count,
                           offset, rcntp);
}

errdesc_t *fuse_umount(const char *mnt_path)
{
    const char *fusermount = tol_program_path(tol_program_t::fusermount);
    if (access(fusermount, X_OK) != 0)
        return errdesc_set_str(errno, mnt_path);
    const char *cmd[] = {fusermount, "-uz", mnt_path, nullptr};
    return spawn(cmd, SPAWN_WAIT, nullptr, nullptr, nullptr, SPAWN_TIMEOUT);
}

void tns_check_statb(const char *what, const char *where, const struct stat *statb,
                     tol_bool_t verbose)
{
    mode_t type = statb->st_mode & S_IFMT;
    mode_t perms = statb->st_mode & 07777;
    const char *type_name = S_ISDIR(statb->st_mode)   ? "DIR"
                            : S_ISREG(statb->st_mode) ? "REG"
                                                      : "UNEXPECTED";
    if (!verbose && (S_ISDIR(statb->st_mode) || S_ISREG(statb->st_mode)) && perms == 0777)
        return;
    ts_printf("%s: %s: mode <%o (%s), %04o> , size %jd\n", where, what, static_cast<unsigned>(type),
              type_name, static_cast<unsigned>(perms), static_cast<intmax_t>(statb->st_size));
}
