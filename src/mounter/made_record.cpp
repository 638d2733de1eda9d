#include "mounter/made_record.hpp"

#include "common/files.hpp"
#include "common/logging.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr const char *KIND_WORDS[] = {"loop", "dm", "mount", "file"};
// A record longer than this is rewritten with what is still live.
constexpr off_t COMPACT_SIZE = 1 << 20;
// A temporary record older than this was left by a process killed while
// writing it (its full record is the one it was to replace).
constexpr time_t STALE_TEMP_SECONDS = 60;
// How long a scan waits for the lock of a process that is exiting.
constexpr int EXIT_WAIT_MS = 5000;

std::string escape(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c > ' ' && c != '\\' && c != 0x7f) {
            out += static_cast<char>(c);
            continue;
        }
        char code[8];
        snprintf(code, sizeof(code), "\\%03o", c);
        out += code;
    }
    return out;
}

bool unescape(const std::string &text, std::string *out)
{
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            *out += text[i];
            continue;
        }
        if (i + 3 >= text.size())
            return false;
        unsigned code = 0;
        for (int k = 1; k <= 3; ++k) {
            const char d = text[i + k];
            if (d < '0' || d > '7')
                return false;
            code = code * 8 + (d - '0');
        }
        if (code > 0xff)
            return false;
        *out += static_cast<char>(code);
        i += 3;
    }
    return true;
}

errdesc_t *write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return errdesc_set_str(n < 0 ? errno : EIO, "writing the record of made objects");
        done += static_cast<size_t>(n);
    }
    return nullptr;
}

std::string format_all(const std::vector<made_entry_t> &entries)
{
    std::string text;
    for (const auto &entry : entries)
        text += made_format_line(true, entry);
    return text;
}

// A new record at `path` holding `entries`, locked before it appears there,
// so that no one ever sees it unlocked.
errdesc_t *write_locked_record(const std::string &dir, const std::string &path,
                               const std::vector<made_entry_t> &entries, unique_fd *out)
{
    std::string temp = dir + "/.new.XXXXXX";
    unique_fd fd(mkostemp(temp.data(), O_CLOEXEC | O_APPEND));
    if (!fd)
        return errdesc_set_str(errno, temp.c_str());
    errdesc_t *err = nullptr;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        err = errdesc_set_str(errno, temp.c_str());
    if (!err)
        err = write_all(fd.get(), format_all(entries));
    if (!err && rename(temp.c_str(), path.c_str()) != 0)
        err = errdesc_set_str(errno, path.c_str());
    if (err) {
        errdesc_keeper keep;
        unlink(temp.c_str());
        return err;
    }
    *out = std::move(fd);
    return nullptr;
}

std::string read_all(int fd)
{
    std::string text;
    char buf[8192];
    off_t at = 0;
    for (;;) {
        ssize_t n = pread(fd, buf, sizeof(buf), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return text;
        text.append(buf, static_cast<size_t>(n));
        at += n;
    }
}

// This process's record.
class own_record
{
  public:
    static own_record &get()
    {
        static own_record record;
        return record;
    }

    errdesc_t *enable(const char *dir)
    {
        std::lock_guard lock(mutex_);
        if (fd_)
            return nullptr;
        if (mkdirp(dir, 0700) != 0 && errno != EEXIST)
            return errdesc_set_str(errno, dir);
        dir_ = dir;
        path_ = dir_ + "/" + std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
        return write_locked_record(dir_, path_, {}, &fd_);
    }

    bool enabled()
    {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(fd_);
    }

    void note(bool made, const made_entry_t &entry)
    {
        std::lock_guard lock(mutex_);
        if (!fd_)
            return;
        if (made) {
            live_.push_back(entry);
        } else {
            auto it = std::find_if(live_.rbegin(), live_.rend(), [&](const made_entry_t &e) {
                return e.kind == entry.kind && e.name == entry.name;
            });
            if (it == live_.rend())
                return; // never noted (an adopted object, say)
            live_.erase(std::next(it).base());
        }
        errdesc_t *err = append(made, entry);
        if (err)
            errdesc_log(err, TOL_PRIO_WARNING);
    }

  private:
    errdesc_t *append(bool made, const made_entry_t &entry)
    {
        if (live_.empty())
            return ftruncate(fd_.get(), 0) == 0 ? nullptr : errdesc_set_str(errno, path_.c_str());
        if (errdesc_t *err = write_all(fd_.get(), made_format_line(made, entry)))
            return err;
        struct stat st;
        if (fstat(fd_.get(), &st) != 0 || st.st_size < COMPACT_SIZE)
            return nullptr;
        // The old file is closed, dropping its lock, only once the new one
        // has replaced it.
        unique_fd fresh;
        if (errdesc_t *err = write_locked_record(dir_, path_, live_, &fresh))
            return err;
        fd_ = std::move(fresh);
        return nullptr;
    }

    std::mutex mutex_;
    unique_fd fd_;
    std::string dir_;
    std::string path_;
    std::vector<made_entry_t> live_;
};

// Opens and locks a record; `*locked` tells whether the lock was got (the
// owner is dead) or is held by a live process. Fails (false) when the file
// went or was replaced meanwhile.
bool open_record(const std::string &path, unique_fd *out, bool *locked)
{
    unique_fd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd)
        return false;
    *locked = flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
    if (*locked) {
        // A compaction replaces the file before the owner lets go of the old one.
        struct stat mine, now;
        if (fstat(fd.get(), &mine) != 0 || stat(path.c_str(), &now) != 0 ||
            mine.st_ino != now.st_ino || mine.st_dev != now.st_dev)
            return false;
    }
    *out = std::move(fd);
    return true;
}

// Whether the process that a record is named after ("PID-...") is on its way
// out: killed, with a thread still winding down (one that waited for an
// answer from its own FUSE mount waits until that mount is aborted). A
// process that is gone altogether may have handed its lock to the daemon it
// forked: that one holds it for good.
bool owner_exiting(const std::string &name)
{
    const std::string pid = name.substr(0, name.find('-'));
    std::ifstream in("/proc/" + pid + "/stat");
    std::string stat;
    if (!in || !std::getline(in, stat))
        return false;
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() &&
           (stat[paren + 2] == 'Z' || stat[paren + 2] == 'X');
}

// A record whose owner is exiting is waited for, briefly, until its lock goes.
bool open_record_waiting(const std::string &path, const std::string &name, unique_fd *fd,
                         bool *locked)
{
    for (int wait_ms = 0;; wait_ms += 100) {
        if (!open_record(path, fd, locked) && !open_record(path, fd, locked))
            return false;
        if (*locked || wait_ms >= EXIT_WAIT_MS || !owner_exiting(name))
            return true;
        fd->reset();
        usleep(100000);
    }
}

void remove_stale_temp(const std::string &path)
{
    struct stat st;
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || fstat(fd.get(), &st) != 0)
        return;
    if (time(nullptr) - st.st_mtime > STALE_TEMP_SECONDS)
        unlink(path.c_str());
}

} // namespace

std::string made_format_line(bool made, const made_entry_t &entry)
{
    std::string line = made ? "+" : "-";
    line += KIND_WORDS[static_cast<int>(entry.kind)];
    line += " " + escape(entry.name);
    if (made && !entry.backing.empty())
        line += " " + escape(entry.backing);
    return line + "\n";
}

bool made_parse_line(const std::string &line, bool *made, made_entry_t *entry)
{
    if (line.empty() || (line[0] != '+' && line[0] != '-'))
        return false;
    *made = line[0] == '+';
    std::vector<std::string> words;
    size_t start = 1;
    while (start <= line.size()) {
        size_t end = line.find(' ', start);
        if (end == std::string::npos)
            end = line.size();
        words.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    if (words.size() < 2 || words.size() > 3)
        return false;
    const auto *kind = std::find(std::begin(KIND_WORDS), std::end(KIND_WORDS), words[0]);
    if (kind == std::end(KIND_WORDS))
        return false;
    made_entry_t parsed;
    parsed.kind = static_cast<made_kind_t>(kind - std::begin(KIND_WORDS));
    if (!unescape(words[1], &parsed.name) || parsed.name.empty())
        return false;
    if (words.size() == 3 && (!unescape(words[2], &parsed.backing) || parsed.backing.empty()))
        return false;
    // Only a loop device names its file, and always does when made.
    if ((parsed.kind == made_kind_t::loop && *made) != !parsed.backing.empty())
        return false;
    *entry = std::move(parsed);
    return true;
}

std::vector<made_entry_t> made_parse_record(const std::string &text)
{
    std::vector<made_entry_t> live;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        bool made = false;
        made_entry_t entry;
        if (!made_parse_line(text.substr(start, end - start), &made, &entry))
            continue;
        if (made) {
            live.push_back(std::move(entry));
            continue;
        }
        auto it = std::find_if(live.rbegin(), live.rend(), [&](const made_entry_t &e) {
            return e.kind == entry.kind && e.name == entry.name;
        });
        if (it != live.rend())
            live.erase(std::next(it).base());
    }
    return live;
}

errdesc_t *made_record_enable(const char *dir)
{
    return own_record::get().enable(dir);
}

bool made_record_enabled()
{
    return own_record::get().enabled();
}

void made_note(made_kind_t kind, const std::string &name, const std::string &backing)
{
    own_record::get().note(true, made_entry_t{kind, name, backing});
}

void made_forget(made_kind_t kind, const std::string &name)
{
    own_record::get().note(false, made_entry_t{kind, name, {}});
}

void made_records_scan(const char *dir, std::vector<made_record_file_t> *dead,
                       std::vector<made_entry_t> *live)
{
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(dir), closedir);
    if (!d)
        return;
    std::vector<std::string> names;
    while (const dirent *de = readdir(d.get()))
        names.push_back(de->d_name);
    for (const auto &name : names) {
        if (name == "." || name == "..")
            continue;
        const std::string path = std::string(dir) + "/" + name;
        if (name[0] == '.') {
            remove_stale_temp(path);
            continue;
        }
        unique_fd fd;
        bool locked = false;
        if (!open_record_waiting(path, name, &fd, &locked))
            continue;
        std::vector<made_entry_t> entries = made_parse_record(read_all(fd.get()));
        if (!locked) {
            live->insert(live->end(), entries.begin(), entries.end());
            continue;
        }
        dead->push_back(made_record_file_t{path, std::move(fd), std::move(entries)});
    }
}

errdesc_t *made_record_replace(made_record_file_t *record, const std::vector<made_entry_t> &left)
{
    if (left.empty()) {
        if (unlink(record->path.c_str()) != 0 && errno != ENOENT)
            return errdesc_set_str(errno, record->path.c_str());
        record->fd.reset();
        return nullptr;
    }
    const std::string dir = record->path.substr(0, record->path.rfind('/'));
    unique_fd fresh;
    if (errdesc_t *err = write_locked_record(dir, record->path, left, &fresh))
        return err;
    // Dropped at once: the owner is dead, the next start takes what is left.
    record->fd.reset();
    record->entries = left;
    return nullptr;
}
