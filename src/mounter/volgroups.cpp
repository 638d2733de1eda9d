#include "mounter/volgroups.hpp"

#include "common/files.hpp"
#include "common/kept_error.hpp"
#include "common/logging.hpp"
#include "common/programs.hpp"
#include "common/spawn.hpp"
#include "mounter/dm_names.hpp"
#include "mounter/owners.hpp"
#include "mounter/made_record.hpp"
#include "mounter/partitions.hpp"
#include "mounter/run_program.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <unistd.h>
#include <utility>

namespace
{

constexpr size_t LVM_LINE_MAX = 4096;
// In "id = \"<38 characters>\"" the identifier starts 6 characters after
// "id = " and its last group of six characters 38 after it.
constexpr size_t ID_TAIL_OFFSET = 38;
constexpr size_t ID_TAIL_LEN = 6;

const char *lvm_program(tol_program_t program)
{
    return tol_program_path(program);
}

// The words of a program's output, at most `limit` (0: no limit); how many
// more there were goes to `*dropped`.
errdesc_t *read_words(std::vector<const char *> cmd, std::vector<std::string> *words,
                      size_t limit = 0, size_t *dropped = nullptr)
{
    cmd.push_back(nullptr);
    return run_program_read(cmd.data(), SPAWN_QUIET, SPAWN_TIMEOUT, [&](FILE *out) {
        char word[256];
        while (fscanf(out, "%255s", word) == 1) {
            if (limit && words->size() >= limit) {
                if (dropped)
                    ++*dropped;
                continue;
            }
            words->push_back(word);
        }
    });
}

errdesc_t *run_lvm(std::vector<const char *> cmd)
{
    cmd.push_back(nullptr);
    return run_program_wait(cmd.data(), SPAWN_QUIET, SPAWN_TIMEOUT);
}

errdesc_t *warn(errdesc_t *err)
{
    if (err)
        errdesc_log(err, TOL_PRIO_WARNING);
    return err;
}

// Six digits of the current second. Two copies of one guest mounted within
// one second would get the same identifiers; a second change in the same
// second waits for the next one (changes run under the devices lock).
std::string identifier_tail()
{
    static time_t last = 0;
    time_t now = time(nullptr);
    if (now == last) {
        sleep(1);
        now = time(nullptr);
    }
    last = now;
    char tail[16];
    snprintf(tail, sizeof(tail), "%06u", static_cast<unsigned>(now % 1000000));
    return tail;
}

bool group_known(const vdskdesc_t *vdskdesc, const std::string &word)
{
    for (uint32_t g = 0; g < vdskdesc->volgrp_map_count; ++g) {
        const volgrp_map_t &vg = vdskdesc->volgrp_map[g];
        if (vg.name == word || vg.newname == word)
            return true;
    }
    return false;
}

// The logical volumes of the renamed group into its entry.
errdesc_t *list_logical_volumes(volgrp_map_t *vg, const std::string &config)
{
    std::vector<std::string> names;
    size_t dropped = 0;
    errdesc_t *err = read_words({lvm_program(tol_program_t::lvs), "--config", config.c_str(),
                                 "--noheadings", "-olv_name", vg->newname.c_str()},
                                &names, VOLGRP_LV_MAX, &dropped);
    if (dropped)
        ts_printf("WARNING: vdsk_get_volgroups: %s has %zu logical volumes beyond the first %u; "
                  "they are not shown\n",
                  vg->newname.c_str(), dropped, VOLGRP_LV_MAX);
    for (const auto &name : names) {
        partlogvol_t &lv = vg->logvol[vg->count++];
        lv.magic = PARTLOGVOL_MAGIC;
        lv.version = 1;
        lv.name = "/dev/" + vg->newname + "/" + name;
    }
    return warn(err);
}

// One group found on partition entry `p`: mount-time name, identifiers,
// logical volumes.
errdesc_t *bring_up_group(vdskdesc_t *vdskdesc, uint32_t p, const std::string &word,
                          const std::string &config)
{
    volgrp_map_t &vg = vdskdesc->volgrp_map[vdskdesc->volgrp_map_count++];
    vg.magic = VOLGRP_MAP_MAGIC;
    vg.version = 1;
    vg.max_count = VOLGRP_LV_MAX;
    vg.name = word;
    vg.newname = vdskdesc->dmdesc.base + "p" + std::to_string(p + 1) + "-" + word;

    const std::string stale = "/dev/" + vg.newname;
    if (access(stale.c_str(), F_OK) == 0) {
        if (errdesc_t *err = rmdirr(stale.c_str()))
            return warn(err);
    }
    if (errdesc_t *err = run_lvm({lvm_program(tol_program_t::vgrename), "--config", config.c_str(),
                                  vg.name.c_str(), vg.newname.c_str()}))
        return warn(err);
    if (errdesc_t *err = vdsk_change_lvm_ids(vg.newname.c_str(),
                                             vdskdesc->part_map.part[p].name.c_str(), config))
        errdesc_log(err, TOL_PRIO_WARNING); // the group still works under its new name
    return list_logical_volumes(&vg, config);
}

} // namespace

// volgroup_activation

volgroup_activation::~volgroup_activation()
{
    if (empty())
        return;
    errdesc_keeper keep;
    if (errdesc_t *err = release())
        errdesc_log(err, TOL_PRIO_WARNING);
}

volgroup_activation::volgroup_activation(volgroup_activation &&other) noexcept
    : volumes_(std::exchange(other.volumes_, {})), config_(std::move(other.config_))
{
}

volgroup_activation &volgroup_activation::operator=(volgroup_activation &&other) noexcept
{
    if (this != &other) {
        if (!empty()) {
            errdesc_keeper keep;
            if (errdesc_t *err = release())
                errdesc_log(err, TOL_PRIO_WARNING);
        }
        volumes_ = std::exchange(other.volumes_, {});
        config_ = std::move(other.config_);
    }
    return *this;
}

errdesc_t *volgroup_activation::activate(const std::string &lv, const std::string &config)
{
    config_ = config;
    volumes_.push_back(lv);
    return run_lvm(
        {lvm_program(tol_program_t::lvchange), "--config", config.c_str(), "-ay", lv.c_str()});
}

volgroup_activation volgroup_activation::adopt(std::vector<std::string> volumes, std::string config)
{
    volgroup_activation owner;
    owner.volumes_ = std::move(volumes);
    owner.config_ = std::move(config);
    return owner;
}

errdesc_t *volgroup_activation::release()
{
    const std::vector<std::string> volumes = std::exchange(volumes_, {});
    int budget = LVCHANGE_RELEASE_BUDGET;
    kept_error last;
    for (const auto &lv : volumes) {
        errdesc_t *err = nullptr;
        do {
            --budget;
            err = run_lvm({lvm_program(tol_program_t::lvchange), "--config", config_.c_str(), "-an",
                           lv.c_str()});
            if (err)
                errdesc_log(err, TOL_PRIO_WARNING);
        } while (err && budget > 0);
        last = kept_error(err);
        // The node of an active volume names its device-mapper device.
        char target[TOL_PATH_MAX];
        ssize_t n = readlink(lv.c_str(), target, sizeof(target) - 1);
        errdesc_keeper keep;
        if (n > 0) {
            target[n] = '\0';
            const std::string dir = lv.substr(0, lv.rfind('/'));
            const std::string dev = target[0] == '/' ? target : dir + "/" + target;
            dm_check_and_remove(dev.c_str());
        } else {
            dm_check_and_remove(lv.c_str());
        }
    }
    return last.raise();
}

std::string lvm_disk_config(const std::string &base)
{
    // The dot of "<cid>.<n>" must match itself only.
    std::string pattern;
    for (char c : base) {
        if (c == '.')
            pattern += "[.]";
        else
            pattern += c;
    }
    // No udev and no devices file: the devices are made here and listed
    // nowhere. A private /dev/mapper (the sandbox) is a file system of its
    // own, which LVM does not descend into from /dev.
    return "devices{use_devicesfile=0 obtain_device_list_from_udev=0 "
           "scan=[\"/dev\",\"/dev/mapper\"] "
           "filter=[\"a|^/dev/mapper/" +
           pattern +
           "p[0-9]+$|\",\"r|.*|\"]} "
           "activation{udev_sync=0 udev_rules=0 monitoring=0} global{use_lvmpolld=0}";
}

errdesc_t *lvm_rewrite_ids(FILE *in, FILE *out, const char *tail, std::string *pv_uuid,
                           int *pv_count)
{
    pv_uuid->clear();
    *pv_count = 0;
    bool in_pv0 = false;
    char line[LVM_LINE_MAX];
    while (fgets(line, sizeof(line), in)) {
        if (char *id = strstr(line, "id = ")) {
            if (strlen(id) >= ID_TAIL_OFFSET + ID_TAIL_LEN) {
                memcpy(id + ID_TAIL_OFFSET, tail, ID_TAIL_LEN);
                if (in_pv0 && pv_uuid->empty())
                    pv_uuid->assign(id + 6, ID_TAIL_OFFSET);
            }
        } else if (strstr(line, "pv") && strstr(line, " {")) {
            int k = 0;
            char brace = 0;
            const char *start = line + strspn(line, " \t");
            if (sscanf(start, "pv%d %c", &k, &brace) == 2 && brace == '{') {
                ++*pv_count;
                in_pv0 = in_pv0 || k == 0;
            }
        }
        if (fputs(line, out) == EOF)
            return errdesc_set_fmt(errno ? errno : EIO, "%s", line);
    }
    if (ferror(in))
        return errdesc_set_str(EIO, "reading LVM metadata");
    return nullptr;
}

errdesc_t *vdsk_change_lvm_ids(const char *vg_name, const char *part_dev_path,
                               const std::string &config)
{
    const std::string backup = std::string("/etc/lvm/backup/") + vg_name;
    const std::string copy = std::string("/tmp/") + vg_name;
    std::unique_ptr<FILE, int (*)(FILE *)> in(fopen(backup.c_str(), "re"), fclose);
    if (!in) {
        ts_printf("vdsk_change_lvm_ids: failed to open %s (errno %d)\n", backup.c_str(), errno);
        return nullptr;
    }
    made_note(made_kind_t::file, copy);
    temp_file copy_owner(copy); // removed, and forgotten, after a failure too
    std::unique_ptr<FILE, int (*)(FILE *)> out(fopen(copy.c_str(), "we"), fclose);
    if (!out) {
        ts_printf("vdsk_change_lvm_ids: failed to open %s (errno %d)\n", copy.c_str(), errno);
        return nullptr;
    }
    std::string pv_uuid;
    int pv_count = 0;
    if (errdesc_t *err =
            lvm_rewrite_ids(in.get(), out.get(), identifier_tail().c_str(), &pv_uuid, &pv_count)) {
        ts_printf("vdsk_change_lvm_ids: failed to write \"%s\" to %s\n", err->string, copy.c_str());
        return nullptr;
    }
    if (fclose(out.release()) != 0) {
        ts_printf("vdsk_change_lvm_ids: failed to write \"%s\" to %s\n", "", copy.c_str());
        return nullptr;
    }
    if (pv_count != 1 || pv_uuid.empty()) {
        ts_printf("vdsk_change_lvm_ids: %s has %d physical volumes; it keeps its identifiers\n",
                  vg_name, pv_count);
        return nullptr;
    }
    if (errdesc_t *err =
            run_lvm({lvm_program(tol_program_t::pvcreate), "--config", config.c_str(), "-ff", "-y",
                     "--restorefile", copy.c_str(), "--uuid", pv_uuid.c_str(), part_dev_path}))
        return warn(err);
    if (errdesc_t *err = run_lvm({lvm_program(tol_program_t::vgcfgrestore), "--config",
                                  config.c_str(), "--file", copy.c_str(), vg_name}))
        return warn(err);
    ts_dprintf(1, "vdsk_change_lvm_ids: done with %s (%s, pv_uuid %s, dev_path %s)\n",
               backup.c_str(), copy.c_str(), pv_uuid.c_str(), part_dev_path);
    return nullptr;
}

errdesc_t *vdsk_get_volgroups(vdskdesc_t *vdskdesc, volgroup_activation *activation)
{
    vdskdesc->volgrp_map_count = 0;
    for (auto &vg : vdskdesc->volgrp_map)
        vg = volgrp_map_t{};
    const std::string config = lvm_disk_config(vdskdesc->dmdesc.base);

    for (uint32_t p = 0; p < vdskdesc->part_map.count; ++p) {
        const partlogvol_t &part = vdskdesc->part_map.part[p];
        if (part.vtype != VOL_LVM)
            continue;
        std::vector<std::string> groups;
        if (errdesc_t *err =
                read_words({lvm_program(tol_program_t::pvs), "--config", config.c_str(),
                            "--noheadings", "-ovg_name", part.name.c_str()},
                           &groups))
            return warn(err);
        for (const auto &word : groups) {
            if (group_known(vdskdesc, word))
                continue; // a group over several partitions, already up
            if (vdskdesc->volgrp_map_count == VOLGRP_MAP_MAX) {
                ts_printf("WARNING: vdsk_get_volgroups: more than %u volume groups on %s; %s is "
                          "not shown\n",
                          VOLGRP_MAP_MAX, vdskdesc->vdsk_path.c_str(), word.c_str());
                continue;
            }
            if (errdesc_t *err = bring_up_group(vdskdesc, p, word, config))
                return err;
        }
    }

    for (uint32_t g = 0; g < vdskdesc->volgrp_map_count; ++g) {
        volgrp_map_t &vg = vdskdesc->volgrp_map[g];
        for (uint32_t v = 0; v < vg.count; ++v) {
            partlogvol_t &lv = vg.logvol[v];
            if (errdesc_t *err = activation->activate(lv.name, config))
                return warn(err);
            if (errdesc_t *err = get_vol_fs_type(lv.name.c_str(), &lv.vtype, &lv.fstype))
                errdesc_log(err, TOL_PRIO_INFO);
        }
    }
    return nullptr;
}

errdesc_t *vdsk_free_volgroups(vdskdesc_t *vdskdesc, volgroup_activation *activation)
{
    errdesc_t *err = activation->release();
    kept_error kept(err);
    for (auto &vg : vdskdesc->volgrp_map)
        vg = volgrp_map_t{};
    vdskdesc->volgrp_map_count = 0;
    return kept.raise();
}
