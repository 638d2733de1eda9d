#pragma once
// Open cookies: the per-path state shared by every open of an image file (and
// by every access to a file-level view), kept in one global list of at most
// 32 cookies that outlive the last close until they are evicted.
//
// Lock order: the open-list lock, then one cookie's mutex, then the list's
// entries lock. Eviction only tries cookie mutexes and never waits.

#include "common/errdesc.hpp"
#include "common/types.hpp"
#include "image/flat_image.hpp"
#include "mounter/disk_record.hpp"
#include "mounter/vmount.hpp"
#include "recovery/recovery_path.hpp"

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <vector>

inline constexpr size_t RECOVERY_MAX_COOKIES = 32;
inline constexpr time_t RECOVERY_IDLE_SECONDS = 60;

struct recovery_cookie_t {
    std::mutex mutex;
    int64_t ref = 0;         // image: open handles; view: held references
    time_t stamp = 0;        // last open, view access or release
    std::string path;        // key: FUSE path of an image, or vol_path of a view
    std::string shadow_path; // scratch path of an image, or a view's mount directory
    bool can_optimize = false;
    recovery_file_type_t type = RECOVERY_FILE_TYPE_UNKNOWN;
    // A flat image's devices, one image of each kind at most: the device is
    // chosen at every open (a change-block file may appear meanwhile), and
    // open handles keep reading the image they opened.
    std::unique_ptr<flat_image> loop_image;   // the flat file on a loop device
    std::unique_ptr<flat_image> merged_image; // merged with its change-block file
    const flat_image *last_opened = nullptr;  // the image the last open read
    bool is_mounted = false;
    uint32_t mount_attempts = 0;
    std::unique_ptr<vdskdesc_t> vdskdesc;      // the mounted disk of a view
    std::unique_ptr<vdsk_mounted_t> vdsk_made; // and what its mount made
    std::unique_ptr<struct stat> stat; // attributes saved by the first getattr after an open

    bool is_view() const { return type == RECOVERY_FILE_TYPE_VMDK_VOLUME; }
};

// The cookies in the order they were added. Finding, adding and removing
// need the open-list lock (`lock`); the entries lock inside only keeps the
// saved-attribute lookups of getattr, which take no open-list lock, safe.
class recovery_open_list_t
{
  public:
    std::mutex lock; // the open-list lock

    // The cookie of `path`, or null (caller holds the open-list lock).
    recovery_cookie_t *find(const std::string &path);
    size_t size();
    void add(std::unique_ptr<recovery_cookie_t> cookie);
    // Takes the cookie off the list; it is the caller's to tear down.
    std::unique_ptr<recovery_cookie_t> remove(recovery_cookie_t *cookie);
    // Takes every cookie off the list, oldest first (shutdown).
    std::vector<std::unique_ptr<recovery_cookie_t>> remove_all();
    // The idle cookie with the oldest stamp (the oldest entry on a tie) whose
    // stamp lies more than 60 seconds before `now`; cookies whose mutex is
    // busy are skipped without waiting.
    recovery_cookie_t *eviction_candidate(time_t now);

    // getattr's saved attribute record of an image cookie.
    bool saved_stat(const std::string &path, struct stat *out);
    // Saves `st` in the image cookie of `path` unless it has a record.
    void save_stat(const std::string &path, const struct stat &st);

  private:
    std::mutex entries_lock_;
    std::vector<std::unique_ptr<recovery_cookie_t>> entries_;
};

extern recovery_open_list_t recovery_open_list;

// Finds or creates the cookie of `path` (caller holds the open-list lock).
// Without a shadow path nothing is created: a missing cookie is ENOENT.
errdesc_t *recovery_get_cookie(const char *path, const char *scratch_path, const char *shadow_path,
                               recovery_cookie_t **cookie);
// Accepts a fresh cookie: classification, validation, room in the list.
errdesc_t *recovery_new_cookie(recovery_cookie_t *cookie, const char *scratch_path);

// Checks the flat image of `path` (served by `shadow_path`) against its
// recovery header (or its descriptor) and its change-block file.
errdesc_t *validate_vmdk_flat(const char *path, const char *shadow_path, const char *scratch_path);

// Evicts at most one idle cookie; the caller holds the open-list lock. With
// `force` any idle cookie qualifies, however recently used. EMFILE when none
// qualifies. The evicted cookie is freed whatever its teardown reports.
errdesc_t *recovery_evict_intern(bool force);
// Tears down everything a cookie holds but its memory; every step runs.
errdesc_t *recovery_do_evict(recovery_cookie_t *cookie);
// Takes the cookie off the list, tears it down and frees it, logging a
// teardown failure with priority 3. The caller holds the open-list lock.
void recovery_discard_cookie(recovery_cookie_t *cookie);

// One periodic eviction pass: at most one cookie idle for more than 60
// seconds. Takes the open-list lock itself.
errdesc_t *recovery_evict();

// Tears down and frees every cookie (shutdown), views first: their loop
// devices read images through this file system.
void recovery_fs_release_all();

errdesc_t *recovery_fs_open_impl(const char *path, const char *shadow_path, uint64_t *fh_slot,
                                 const char *scratch_path);
// Reads through the handle in the slot; `*count` is what was delivered.
errdesc_t *recovery_read(char *buf, size_t size, off_t offset, const uint64_t *fh_slot,
                         size_t *count);
// recovery_read as a byte count or a negated error number, unlogged.
int recovery_fs_read_impl(char *buf, size_t size, off_t offset, uint64_t *fh_slot);
errdesc_t *recovery_fs_release_impl(const char *path, const char *shadow_path, uint64_t *fh_slot);
