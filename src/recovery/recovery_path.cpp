// Path translation and file classification.

#include "recovery/recovery_path.hpp"

#include "common/errdesc.hpp"
#include "common/files.hpp"
#include "common/logging.hpp"
#include "common/unique_fd.hpp"
#include "common/strings.hpp"
#include "recovery/recovery_options.hpp"

#include <json-c/json.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

struct suffix_type_t {
    const char *suffix;
    recovery_file_type_t type;
};

// Tried in this order: the first suffix that occurs anywhere decides.
constexpr suffix_type_t suffix_types[] = {
    {"-flat.vmdk", RECOVERY_FILE_TYPE_VMDK_FLAT},
    {"-rdm.vmdk", RECOVERY_FILE_TYPE_VMDK_FLAT},
    {"-rdmp.vmdk", RECOVERY_FILE_TYPE_VMDK_FLAT},
    {"-tolcbt.vmdk", RECOVERY_FILE_TYPE_VMDK_TOLCBT},
    {".vmdk", RECOVERY_FILE_TYPE_VMDK_ASCII},
    {".vmx", RECOVERY_FILE_TYPE_VMX},
    {".vmtx", RECOVERY_FILE_TYPE_VMTX},
    {".volume", RECOVERY_FILE_TYPE_VMDK_VOLUME},
    {".cfg", RECOVERY_FILE_TYPE_CFG},
};

constexpr const char *flat_suffixes[] = {"-flat.vmdk", "-rdm.vmdk", "-rdmp.vmdk"};

constexpr const char VOLUME_SUFFIX[] = ".volume";
constexpr size_t VOLUME_SUFFIX_LEN = sizeof(VOLUME_SUFFIX) - 1;

// The first flat suffix (in table order, not by position) found in `path`.
const char *find_flat_suffix(const char *path)
{
    for (const char *suffix : flat_suffixes) {
        if (const char *match = strstr(path, suffix))
            return match;
    }
    return nullptr;
}

bool path_exists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0;
}

struct json_object_release {
    void operator()(json_object *obj) const { json_object_put(obj); }
};
using json_ptr = std::unique_ptr<json_object, json_object_release>;

// True when `path` resolves (every link followed) to a place below the real
// path of `scratch_path`, or to it; with `missing_ok`, also when it does not
// exist (nothing can then be read through it).
bool resolves_inside(const char *path, const char *scratch_path, bool missing_ok = false)
{
    char root[PATH_MAX];
    char real[PATH_MAX];
    if (!realpath(scratch_path, root))
        return false;
    if (!realpath(path, real))
        return missing_ok && (errno == ENOENT || errno == ENOTDIR);
    const size_t n = strlen(root);
    if (strcmp(root, "/") == 0)
        return true;
    return strncmp(real, root, n) == 0 && (real[n] == '\0' || real[n] == '/');
}

// The relocation file, parsed, or null (logged). It comes from the backup:
// a link, a FIFO or a huge file by that name must not redirect, block or
// exhaust the reader.
json_ptr read_movara(const std::string &movara)
{
    unique_fd fd(open(movara.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) > MOVARA_JSON_MAX) {
        ts_dprintf(0, "%s is not a regular file of at most %zu bytes\n", movara.c_str(),
                   MOVARA_JSON_MAX);
        return nullptr;
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    if (errdesc_t *err = tol_pread(fd.get(), text.data(), text.size(), 0, &got)) {
        errdesc_log(err, TOL_PRIO_ERROR);
        return nullptr;
    }
    text.resize(got);
    json_ptr root(json_tokener_parse(text.c_str()));
    if (!root)
        ts_dprintf(0, "Could not get JSON object from %s\n", movara.c_str());
    return root;
}

// A relocation directory names a place beside the flat file, never above
// it nor elsewhere.
bool is_plain_relative(const char *dir)
{
    if (dir[0] == '/')
        return false;
    for (const char *p = dir; *p;) {
        const size_t len = strcspn(p, "/");
        if (len == 2 && p[0] == '.' && p[1] == '.')
            return false;
        p += len;
        p += strspn(p, "/");
    }
    return true;
}

} // namespace

recovery_file_type_t recovery_infer_file_type(const char *name)
{
    for (const auto &entry : suffix_types) {
        const char *match = strstr(name, entry.suffix);
        if (!match)
            continue;
        // Only the first occurrence counts; a suffix followed by more text
        // ("disk.vmdk.bak", "a.vmdk/b.vmx") makes the name unknown.
        return match[strlen(entry.suffix)] == '\0' ? entry.type : RECOVERY_FILE_TYPE_UNKNOWN;
    }
    return RECOVERY_FILE_TYPE_UNKNOWN;
}

tol_bool_t recovery_is_visible_file(const char *name)
{
    recovery_file_type_t type = recovery_infer_file_type(name);
    return tol_bool(type != RECOVERY_FILE_TYPE_UNKNOWN && type != RECOVERY_FILE_TYPE_VMDK_TOLCBT);
}

tol_bool_t recovery_is_mountable_vmdk_file(const char *path, const char *name)
{
    return tol_bool(recovery_infer_file_type(name) == RECOVERY_FILE_TYPE_VMDK_ASCII &&
                    strstr(path, VOLUME_SUFFIX) == nullptr);
}

tol_bool_t recovery_is_vmdk_volume_file(const char *path, const char *scratch_mount_point)
{
    const char *match = strstr(path, VOLUME_SUFFIX);
    if (!match)
        return TOL_FALSE;
    char after = match[VOLUME_SUFFIX_LEN];
    if (after != '\0' && after != '/') {
        ts_printf("Skipping invalid '.volume' file: %s\n", path);
        return TOL_FALSE;
    }
    // Resolved scratch paths are never view paths.
    if (strncmp(path, scratch_mount_point, strlen(scratch_mount_point)) == 0)
        return TOL_FALSE;

    // A real file or directory named like a view is served as an ordinary entry.
    char scratch_name[TOL_PATH_MAX];
    if (!format_path(scratch_name, sizeof(scratch_name), "%s/%s", scratch_mount_point, path)) {
        // Too long to exist in the scratch tree; the translation of the
        // ordinary path would fail the same way, so treat it as a view.
        return TOL_TRUE;
    }
    char *cut = strstr(scratch_name, VOLUME_SUFFIX);
    cut[VOLUME_SUFFIX_LEN] = '\0';
    return tol_bool(!path_exists(scratch_name));
}

tol_bool_t recovery_is_vol_dir_top(const char *path)
{
    const char *match = strstr(path, VOLUME_SUFFIX);
    if (!match)
        return TOL_FALSE;
    const char *rest = match + VOLUME_SUFFIX_LEN;
    size_t slashes = strspn(rest, "/");
    return tol_bool(rest[slashes] == '\0' && slashes <= 3);
}

errdesc_t *get_vol_path(char *vol_path, const char *path)
{
    const char *match = strstr(path, VOLUME_SUFFIX);
    if (!match) {
        ts_printf("ERROR: .volume suffix not found in path \"%s\"\n", path);
        return errdesc_set_fmt(EINVAL, "No '.volume' suffix found");
    }
    size_t len = static_cast<size_t>(match - path) + VOLUME_SUFFIX_LEN;
    if (len >= TOL_PATH_MAX)
        return errdesc_set_fmt(ENAMETOOLONG, "Path too long: %.256s...", path);
    memcpy(vol_path, path, len);
    vol_path[len] = '\0';
    return nullptr;
}

errdesc_t *get_ascii_vmdk_path(const char *flat_path, char *ascii_path, size_t ascii_path_size)
{
    const char *match = find_flat_suffix(flat_path);
    if (!match)
        return errdesc_set_fmt(EINVAL, "Invalid path name %s", flat_path);
    size_t prefix = static_cast<size_t>(match - flat_path);
    if (prefix + strlen(".vmdk") >= ascii_path_size)
        return errdesc_set_fmt(EINVAL, "Insufficient buffer size");
    memcpy(ascii_path, flat_path, prefix);
    strcpy(ascii_path + prefix, ".vmdk");
    return nullptr;
}

errdesc_t *get_tolcbt_vmdk_path(const char *flat_path, const char *scratch_path, char *tolcbt_path,
                                size_t tolcbt_path_size)
{
    char built[TOL_PATH_MAX];
    if (!format_path(built, sizeof(built), "%s/%s", scratch_path, flat_path))
        return errdesc_set_fmt(ENAMETOOLONG, "Path too long: %s/%.256s...", scratch_path,
                               flat_path);
    const char *match = find_flat_suffix(built);
    if (!match)
        return errdesc_set_fmt(EINVAL, "Invalid path name %s", built);
    size_t prefix = static_cast<size_t>(match - built);
    if (prefix + strlen("-tolcbt.vmdk") >= tolcbt_path_size)
        return errdesc_set_fmt(EINVAL, "Insufficient buffer size");
    memcpy(tolcbt_path, built, prefix);
    strcpy(tolcbt_path + prefix, "-tolcbt.vmdk");
    ts_dprintf(6, "get_tolcbt_vmdk_path(): tolcbt_path = %s\n", tolcbt_path);
    return nullptr;
}

tol_bool_t recovery_follow_movara_link(const char *path, char *new_path, const char *scratch_path)
{
    strcpy(new_path, "NO PATH");
    if (recovery_infer_file_type(path) != RECOVERY_FILE_TYPE_VMDK_FLAT)
        return TOL_FALSE;

    char flat_scratch[TOL_PATH_MAX];
    if (!format_path(flat_scratch, sizeof(flat_scratch), "%s/%s", scratch_path, path))
        return TOL_FALSE;
    struct stat st;
    if (stat(flat_scratch, &st) == 0)
        return TOL_FALSE; // only missing flat files are relocated

    // movara.json sits beside the flat file: replace the last component.
    std::string movara(flat_scratch, strrchr(flat_scratch, '/') + 1);
    movara += MOVARA_JSON_NAME;
    if (movara.size() >= TOL_PATH_MAX)
        return TOL_FALSE;
    ts_dprintf(1, "MovaraJsonFilePath = %s\n", movara.c_str());
    if (!path_exists(movara.c_str()))
        return TOL_FALSE;
    const std::string movara_dir(movara, 0, movara.rfind('/'));
    if (!resolves_inside(movara_dir.c_str(), scratch_path)) {
        ts_dprintf(0, "%s lies outside %s\n", movara.c_str(), scratch_path);
        return TOL_FALSE;
    }

    json_ptr root = read_movara(movara);
    if (!root)
        return TOL_FALSE;
    json_object *flat_dir = nullptr;
    if (!json_object_is_type(root.get(), json_type_object) ||
        !json_object_object_get_ex(root.get(), "flat_directory", &flat_dir)) {
        ts_dprintf(0, "Cannot get JSON sub_object \"flat_directory\" from %s\n", movara.c_str());
        return TOL_FALSE;
    }
    if (!json_object_is_type(flat_dir, json_type_string)) {
        ts_dprintf(0, "JSON sub_object \"flat_directory\" from %s is not a string\n",
                   movara.c_str());
        return TOL_FALSE;
    }

    // The directory part of `path` (empty for a file directly under the
    // scratch root), then the relocation directory, then the file name.
    const char *slash = strrchr(path, '/');
    std::string dir = slash ? std::string(path, slash + 1) : std::string();
    const char *file = slash ? slash + 1 : path;
    const char *flat_directory = json_object_get_string(flat_dir);
    if (!is_plain_relative(flat_directory)) {
        ts_dprintf(0, "JSON sub_object \"flat_directory\" from %s leaves its directory\n",
                   movara.c_str());
        return TOL_FALSE;
    }
    std::string relocated = dir + flat_directory + "/" + file;
    const std::string target_dir = std::string(scratch_path) + "/" + dir + flat_directory;
    if (!resolves_inside(target_dir.c_str(), scratch_path, true)) {
        ts_dprintf(0, "Movara link for %s leads outside %s\n", path, scratch_path);
        return TOL_FALSE;
    }
    if (relocated.size() >= TOL_PATH_MAX) {
        ts_dprintf(0, "Movara link for %s is too long\n", path);
        strcpy(new_path, "NO PATH");
        return TOL_FALSE;
    }
    memcpy(new_path, relocated.c_str(), relocated.size() + 1);
    ts_dprintf(1, "Movara link = %s\n", new_path);
    return TOL_TRUE;
}

char *translate_path(const char *path, path_buf_t *buf)
{
    const char *rel = path + strspn(path, "/");
    if (*rel == '\0')
        rel = ".";
    char relocated[TOL_PATH_MAX];
    if (recovery_follow_movara_link(rel, relocated, fs_options.scratch_mount_point))
        rel = relocated;
    if (!format_path(buf->path_buf, sizeof(buf->path_buf), "%s/%s", fs_options.scratch_mount_point,
                     rel))
        return nullptr;
    return buf->path_buf;
}

char *normalize_path(const char *in)
{
    char *out = strdup(in);
    if (!out)
        return nullptr;
    bool absolute = in[0] == '/';
    size_t r = 0, w = 0;
    while (in[r] != '\0') {
        if (in[r] == '/' && in[r + 1] == '/') {
            r += 1; // a run of slashes collapses into its last one
        } else if (strncmp(in + r, "/./", 3) == 0) {
            r += 2; // drop "/." and let the next "/" be read
        } else if (strncmp(in + r, "/../", 4) == 0) {
            // Cut the output back to the "/" before its last component.
            size_t cut = w;
            while (cut > 0 && out[cut - 1] != '/')
                --cut;
            if (cut > 0) {
                w = cut - 1; // keep reading at the "/" that ends "/../"
                r += 3;
            } else if (absolute) {
                w = 0; // at the very start only the leading "/" remains
                r += 3;
            } else {
                w = 0; // a relative path loses its first component
                r += 4;
            }
        } else {
            out[w++] = in[r++];
        }
    }
    out[w] = '\0';
    return out;
}

void convert_to_relative_path(const char *cwd, char *buf, size_t len)
{
    const char *volume_path = fs_options.recovery_volumes_mount_point;
    size_t vlen = strlen(volume_path);
    std::unique_ptr<char, decltype(&free)> target(normalize_path(buf), &free);
    std::unique_ptr<char, decltype(&free)> dir(normalize_path(cwd), &free);
    if (!target || !dir)
        return;
    const char *t = target.get();
    const char *c = dir.get();
    if (len == 0 || t[0] != '/' || strncmp(t, volume_path, vlen) != 0)
        return;

    ts_dprintf(2, "convert to relative path: %s %s\n", c, t);

    // Compare after the volume path and its "/"; stay inside both strings.
    size_t start = std::min({vlen + 1, strlen(t), strlen(c)});
    size_t i = start;
    size_t rest = start;
    while (i < len && c[i] != '\0' && t[i] == c[i]) {
        if (t[i] == '/')
            rest = i + 1;
        ++i;
    }
    if (c[i] == '\0' && t[i] == '/')
        rest = i + 1;

    std::string converted;
    for (size_t k = i; c[k] != '\0'; ++k) {
        if (c[k] == '/')
            converted += "../";
    }
    converted += t + rest;
    if (converted.size() > len - 1)
        converted.resize(len - 1);
    memcpy(buf, converted.c_str(), converted.size() + 1);
    ts_dprintf(2, "converted to: %s\n", buf);
}
