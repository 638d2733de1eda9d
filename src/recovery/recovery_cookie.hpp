#pragma once
// Open cookies: the per-path state shared by every open of an image file (and
// by every access to a file-level view), kept in one global list of at most
// 32 cookies that outlive the last close until they are evicted.
//
// Lock order: the open-list lock, then one cookie's mutex, then the list_t's
// internal lock. Eviction only tries cookie mutexes and never waits.

#include "common/errdesc.hpp"
#include "common/list.hpp"
#include "common/types.hpp"
#include "image/fuse_fh.hpp"
#include "image/tolcbt.hpp"
#include "image/toldev_io.hpp"
#include "mounter/disk_record.hpp"
#include "recovery/recovery_path.hpp"

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/stat.h>

inline constexpr uint32_t RECOVERY_COOKIE_MAGIC = 0xbcbcbcbc;
inline constexpr uint32_t RECOVERY_OPEN_LIST_MAGIC = 0xdededede;
inline constexpr uint32_t RECOVERY_LOOKUP_MAGIC = 0xeeeeeeee;
inline constexpr uint32_t RECOVERY_RECORD_VERSION = 1;

inline constexpr int RECOVERY_MAX_COOKIES = 32;
inline constexpr time_t RECOVERY_IDLE_SECONDS = 60;
// Seconds that one losetup run may take when a flat image gets its loop device.
inline constexpr int RECOVERY_LOOP_TIMEOUT = 600;

struct recovery_cookie_t {
    uint32_t magic = RECOVERY_COOKIE_MAGIC;
    uint32_t version = RECOVERY_RECORD_VERSION;
    std::unique_ptr<std::mutex> mutex; // created when the cookie is accepted
    int64_t ref = 0;                   // image: open handles; view: held references
    time_t stamp = 0;                  // last open, view access or release
    std::string path;                  // key: FUSE path of an image, or vol_path of a view
    std::string shadow_path;           // scratch path of an image, or a view's mount directory
    std::string devicemapper_path;     // device whose partitions were mapped
    std::string loopdev_path;          // loop device over a flat file without change blocks
    tol_bool_t can_optimize = TOL_FALSE;
    recovery_file_type_t type = RECOVERY_FILE_TYPE_UNKNOWN;
    part_map_t part_map;                                 // partitions mapped from devicemapper_path
    std::unique_ptr<tolcbt_merge_handle_t> merge_handle; // merged change-block device
    std::unique_ptr<tol_dev_desc_t> pdev;                // device opened for optimised reads
    fuse_fh_buffer_t buffered_data = {}; // replacement sector; buffer owned by the cookie
    tol_bool_t is_mounted = TOL_FALSE;
    uint32_t mount_attempts = 0;
    std::unique_ptr<vdskdesc_t> vdskdesc; // the mounted disk of a view
    std::unique_ptr<struct stat> stat;    // attributes saved by the first getattr after an open

    bool is_view() const { return type == RECOVERY_FILE_TYPE_VMDK_VOLUME; }
};

struct recovery_open_list_t {
    uint32_t magic;
    uint32_t version;
    pthread_mutex_t mutex; // the open-list lock
    list_t *list;          // recovery_cookie_t pointers
};

extern recovery_open_list_t recovery_open_list;

// The lookup record passed through the list walk.
struct recovery_contains_s {
    uint32_t magic;
    uint32_t version;
    recovery_file_type_t type;
    std::string path;
    recovery_cookie_t *cookie;
};

// The eviction record passed through the list walk.
struct recovery_evict_s {
    uint32_t magic;
    uint32_t version;
    recovery_file_type_t type;
    time_t stamp;
    recovery_cookie_t *cookie;
};

// Sets the open list up: magic, version, mutex and a new empty list.
void recovery_open_list_init();
// Whether the open list has been set up (and not released).
bool recovery_open_list_ready();

// The open-list lock as a scoped guard.
class open_list_lock
{
  public:
    open_list_lock() { pthread_mutex_lock(&recovery_open_list.mutex); }
    ~open_list_lock() { pthread_mutex_unlock(&recovery_open_list.mutex); }
    open_list_lock(const open_list_lock &) = delete;
    open_list_lock &operator=(const open_list_lock &) = delete;
};

// Finds or creates the cookie of `path` (caller holds the open-list lock).
// Without a shadow path nothing is created: a missing cookie is ENOENT.
errdesc_t *recovery_get_cookie(const char *path, const char *scratch_path, const char *shadow_path,
                               recovery_contains_s *lookup);
errdesc_t *recovery_new_cookie(recovery_cookie_t *cookie, const char *scratch_path);
void recovery_free_cookie(recovery_cookie_t **cookie);
tol_bool_t recovery_open_contains_iter(void *lookup, void *cookie);

// Checks a flat image against its recovery header (or its descriptor) and
// its change-block file; every refusal makes the open fail.
errdesc_t *validate_vmdk_flat(const char *path, const char *shadow_path, const char *scratch_path);

// Evicts at most one idle cookie; the caller holds the open-list lock. With
// `force` any idle cookie qualifies, however recently used. EMFILE when none
// qualifies.
errdesc_t *recovery_evict_intern(tol_bool_t force);
tol_bool_t recovery_evict_iter(void *evict, void *cookie);
errdesc_t *recovery_do_evict(recovery_cookie_t *cookie);

// One periodic eviction pass: at most one cookie idle for more than 60
// seconds. Takes the open-list lock itself.
errdesc_t *recovery_evict();

// Tears down and frees every cookie, then the list (shutdown).
void recovery_fs_release_all();

// getattr's saved attribute record of an image cookie. The copy is taken
// under the list's internal lock, so a concurrent eviction cannot free the
// cookie underneath it.
bool recovery_cookie_get_saved_stat(const char *path, struct stat *stbuf);
// Saves `stbuf` in the image cookie of `path` unless it already has a record.
void recovery_cookie_save_stat(const char *path, const struct stat *stbuf);

errdesc_t *recovery_fs_open_impl(const char *path, const char *shadow_path, uint64_t *fh_slot,
                                 const char *scratch_path);
int recovery_fs_read_impl(char *buf, size_t size, off_t offset, uint64_t *fh_slot);
errdesc_t *recovery_fs_release_impl(const char *path, const char *shadow_path, uint64_t *fh_slot);
