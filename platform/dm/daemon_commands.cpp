#include "daemon_internal.hpp"

#include "lvm_filter.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace rfsdm
{

namespace
{

std::mutex ctl_mutex; // serialises control commands

// ---------------------------------------------------------------- commands

struct options {
    bool force = false;
    bool readonly = false;
    bool inactive = false;
    bool notable = false;
    std::string uuid;
    std::vector<std::string> pos;
};

options parse_options(const std::vector<std::string> &args)
{
    options o;
    for (size_t i = 1; i < args.size(); ++i) {
        const auto &a = args[i];
        if (a == "--force")
            o.force = true;
        else if (a == "--readonly")
            o.readonly = true;
        else if (a == "--inactive")
            o.inactive = true;
        else if (a == "--notable")
            o.notable = true;
        else if (a.rfind("--uuid=", 0) == 0)
            o.uuid = a.substr(7);
        else
            o.pos.push_back(a);
    }
    return o;
}

struct result {
    dm_reply r;
    void out(const std::string &s) { r.out += s; }
    void err(const std::string &s) { r.err += s; }
    dm_reply ok()
    {
        r.rc = 0;
        return r;
    }
    dm_reply fail()
    {
        r.rc = 1;
        r.err += "Command failed.\n";
        return r;
    }
    dm_reply ioctl_fail(const char *op, const std::string &name, const std::string &uuid, int e)
    {
        err(std::string("device-mapper: ") + op + " ioctl on " + name + " " + uuid +
            " failed: " + errno_text(e) + "\n");
        return fail();
    }
};

// Accepts NAME, /dev/mapper/NAME or any node of the device.
std::shared_ptr<device> lookup(const std::string &arg)
{
    if (arg.rfind("/dev/mapper/", 0) == 0)
        return find_device(arg.substr(12));
    if (arg.find('/') != std::string::npos) {
        struct stat st {
        };
        if (::stat(arg.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            return find_device_by_rdev(st.st_rdev);
        return nullptr;
    }
    return find_device(arg);
}

std::string name_of(const std::string &arg)
{
    return arg.rfind("/dev/mapper/", 0) == 0 ? arg.substr(12) : arg;
}

std::string table_text(const std::shared_ptr<table> &t, bool status)
{
    std::string s;
    if (!t)
        return s;
    for (auto &tg : t->targets)
        s += format_line(tg->start, tg->length, tg->type(), status ? tg->status() : tg->params()) +
             "\n";
    return s;
}

void adopt(const std::shared_ptr<table> &t, device *owner)
{
    if (t)
        for (auto &tg : t->targets)
            tg->owner = owner;
}

// Loads `text` as the inactive table of `d`.
int load_table(const std::shared_ptr<device> &d, const std::string &text, std::string &error)
{
    auto t = build_table(text, error);
    if (!t)
        return -EINVAL;
    // A device on top of itself would recurse forever on its first I/O.
    if (t->uses(d.get())) {
        error = "table refers to the device itself";
        return -EINVAL;
    }
    adopt(t, d.get());
    std::lock_guard lk(d->m);
    d->inactive = std::move(t);
    return 0;
}

void suspend_device(const std::shared_ptr<device> &d)
{
    std::unique_lock lk(d->m);
    d->suspended = true;
    // In-flight I/O finishes first; new I/O waits for the resume.
    d->cv.wait(lk, [&] { return d->inflight == 0; });
}

// The kernel's resume: a new table is swapped in first (the device is
// suspended for that), then its targets' checks run; when one refuses, the
// device stays suspended with the new table live.
int resume_device(const std::shared_ptr<device> &d, std::string &error)
{
    uint64_t before = 0, after = 0;
    std::shared_ptr<table> old, live;
    bool swapped = false;
    {
        std::unique_lock lk(d->m);
        before = d->live ? d->live->sectors() : 0;
        if (d->inactive) {
            d->suspended = true;
            d->cv.wait(lk, [&] { return d->inflight == 0; });
            old = std::move(d->live);
            d->live = std::move(d->inactive);
            ++d->event_nr;
            swapped = true;
        }
        live = d->live;
        after = live ? live->sectors() : 0;
    }
    if (live) {
        for (auto &t : live->targets)
            if (int r = t->preresume(error); r < 0)
                return r;
        for (auto &t : live->targets)
            t->resume();
    }
    {
        std::lock_guard lk(d->m);
        d->suspended = false;
        d->cv.notify_all();
    }
    if (swapped && before != after && d->loop_nr >= 0)
        refresh_loop_size(d);
    return 0;
}

int remove_device(const std::shared_ptr<device> &d, bool force)
{
    if (settled_open_count(d) > 0) {
        if (!force)
            return -EBUSY;
        // As dmsetup does with --force: fail all I/O of a device that is
        // still in use.
        {
            std::lock_guard lk(d->m);
            d->inactive = error_table(d->live ? d->live->sectors() : 0);
        }
        std::string ignored;
        resume_device(d, ignored);
        if (settled_open_count(d) > 0)
            return -EBUSY;
    }
    {
        std::lock_guard lk(d->m);
        d->removed = true;
        d->suspended = false;
        d->cv.notify_all();
    }
    if (d->loop_nr >= 0)
        detach_loop(d->loop_nr);
    struct stat st {
    };
    std::string node = dev_mapper(d->name);
    if (::lstat(node.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == d->rdev)
        ::unlink(node.c_str());
    std::shared_ptr<table> live, inactive;
    {
        std::lock_guard lk(d->m);
        live = std::move(d->live);
        inactive = std::move(d->inactive);
    }
    std::lock_guard lk(reg_mutex);
    registry.erase(d->name);
    return 0;
}

dm_reply cmd_create(const dm_request &req, const options &o)
{
    result res;
    if (o.pos.size() < 1 || o.pos.size() > 2) {
        res.err("Usage: create <dev_name> [<table_file>]\n");
        return res.fail();
    }
    std::string name = o.pos[0];
    if (!valid_name(name)) {
        res.err("Invalid device name: " + name + "\n");
        return res.fail();
    }
    if (find_device(name))
        return res.ioctl_fail("create", name, o.uuid, EBUSY);
    std::shared_ptr<table> t;
    if (!o.notable) {
        std::string error;
        t = build_table(req.input, error);
        if (!t) {
            res.err("device-mapper: reload ioctl on " + name + " " + o.uuid +
                    " failed: Invalid argument (" + error + ")\n");
            return res.fail();
        }
    }
    auto d = std::make_shared<device>();
    d->name = name;
    d->uuid = o.uuid;
    d->read_only = o.readonly;
    adopt(t, d.get());
    if (t) {
        std::string error;
        for (auto &tg : t->targets)
            if (int r = tg->preresume(error); r < 0) {
                res.err("device-mapper: " + error + "\n");
                return res.ioctl_fail("resume", name, o.uuid, -r);
            }
    }
    d->live = t;
    {
        std::lock_guard lk(reg_mutex);
        registry[name] = d;
    }
    std::string error;
    int nr = -1;
    if (int r = attach_loop(file_path(name), o.readonly, nr, error); r < 0) {
        std::lock_guard lk(reg_mutex);
        registry.erase(name);
        res.err("device-mapper: create ioctl on " + name + " " + o.uuid + " failed: " + error +
                "\n");
        return res.fail();
    }
    d->loop_nr = nr;
    d->rdev = makedev(loop_major, unsigned(nr));
    if (!make_node(name, d->rdev, error)) {
        remove_device(d, true);
        res.err(error + "\n");
        return res.fail();
    }
    if (t)
        for (auto &tg : t->targets)
            tg->resume();
    return res.ok();
}

dm_reply cmd_load(const dm_request &req, const options &o)
{
    result res;
    if (o.pos.size() < 1 || o.pos.size() > 2) {
        res.err("Usage: load <dev_name> [<table_file>]\n");
        return res.fail();
    }
    auto d = lookup(o.pos[0]);
    if (!d)
        return res.ioctl_fail("reload", name_of(o.pos[0]), "", ENXIO);
    std::string error;
    if (load_table(d, req.input, error) < 0) {
        res.err("device-mapper: reload ioctl on " + d->name + " " + d->uuid +
                " failed: Invalid argument (" + error + ")\n");
        return res.fail();
    }
    return res.ok();
}

dm_reply cmd_suspend_resume(const options &o, bool suspend)
{
    result res;
    if (o.pos.empty()) {
        res.err(std::string("Usage: ") + (suspend ? "suspend" : "resume") + " <dev_name>\n");
        return res.fail();
    }
    for (const auto &arg : o.pos) {
        auto d = lookup(arg);
        if (!d)
            return res.ioctl_fail(suspend ? "suspend" : "resume", name_of(arg), "", ENXIO);
        if (suspend) {
            suspend_device(d);
            continue;
        }
        std::string error;
        if (int r = resume_device(d, error); r < 0) {
            if (!error.empty())
                res.err("device-mapper: " + error + "\n");
            return res.ioctl_fail("resume", d->name, d->uuid, -r);
        }
    }
    return res.ok();
}

dm_reply cmd_remove(const options &o)
{
    result res;
    if (o.pos.empty()) {
        res.err("Usage: remove [-f] <dev_name>\n");
        return res.fail();
    }
    bool failed = false;
    for (const auto &arg : o.pos) {
        auto d = lookup(arg);
        if (!d) {
            res.err("device-mapper: remove ioctl on " + name_of(arg) +
                    "  failed: " + errno_text(ENXIO) + "\n");
            failed = true;
            continue;
        }
        if (int r = remove_device(d, o.force); r < 0) {
            res.err("device-mapper: remove ioctl on " + d->name + " " + d->uuid +
                    " failed: " + errno_text(-r) + "\n");
            failed = true;
        }
    }
    return failed ? res.fail() : res.ok();
}

// Removes devices that nothing uses, repeatedly, so that stacks come apart
// from the top; with force, what stays in use is switched to error tables.
void remove_all(bool force)
{
    for (;;) {
        bool progress = false;
        for (auto &d : all_devices())
            if (d->holders == 0 && remove_device(d, false) == 0)
                progress = true;
        if (!progress)
            break;
    }
    if (force)
        for (auto &d : all_devices())
            (void)remove_device(d, true);
}

dm_reply cmd_ls()
{
    result res;
    auto devs = all_devices();
    if (devs.empty()) {
        res.out("No devices found\n");
        return res.ok();
    }
    size_t w = 0;
    for (auto &d : devs)
        w = std::max(w, d->name.size());
    for (auto &d : devs) {
        std::string n = d->name;
        n.resize(w, ' ');
        res.out(n + "\t(" + std::to_string(major(d->rdev)) + ":" + std::to_string(minor(d->rdev)) +
                ")\n");
    }
    return res.ok();
}

std::string info_text(const std::shared_ptr<device> &d)
{
    bool susp, has_live, has_inactive;
    size_t targets;
    {
        std::lock_guard lk(d->m);
        susp = d->suspended;
        has_live = bool(d->live);
        has_inactive = bool(d->inactive);
        targets = d->live ? d->live->targets.size() : 0;
    }
    std::string tables = !has_live && !has_inactive ? "None"
                                                    : std::string(has_live ? "LIVE" : "") +
                                                          (has_live && has_inactive ? " & " : "") +
                                                          (has_inactive ? "INACTIVE" : "");
    std::string s;
    s += "Name:              " + d->name + "\n";
    s += std::string("State:             ") + (susp ? "SUSPENDED" : "ACTIVE") +
         (d->read_only ? " (READ-ONLY)" : "") + "\n";
    s += "Read Ahead:        256\n";
    s += "Tables present:    " + tables + "\n";
    s += "Open count:        " + std::to_string(open_count(d)) + "\n";
    s += "Event number:      " + std::to_string(d->event_nr.load()) + "\n";
    s += "Major, minor:      " + std::to_string(major(d->rdev)) + ", " +
         std::to_string(minor(d->rdev)) + "\n";
    s += "Number of targets: " + std::to_string(targets) + "\n";
    if (!d->uuid.empty())
        s += "UUID: " + d->uuid + "\n";
    s += "\n";
    return s;
}

dm_reply cmd_info(const options &o)
{
    result res;
    if (o.pos.empty()) {
        auto devs = all_devices();
        if (devs.empty())
            res.out("No devices found\n");
        for (auto &d : devs)
            res.out(info_text(d));
        return res.ok();
    }
    for (const auto &arg : o.pos) {
        auto d = lookup(arg);
        if (!d) {
            res.out("Device does not exist.\n");
            return res.fail();
        }
        res.out(info_text(d));
    }
    return res.ok();
}

dm_reply cmd_table(const options &o, bool status)
{
    result res;
    auto text_of = [&](const std::shared_ptr<device> &d) {
        std::lock_guard lk(d->m);
        return table_text(o.inactive ? d->inactive : d->live, status);
    };
    if (o.pos.empty()) {
        auto devs = all_devices();
        if (devs.empty())
            res.out("No devices found\n");
        for (auto &d : devs) {
            std::istringstream in(text_of(d));
            std::string line;
            while (std::getline(in, line))
                res.out(d->name + ": " + line + "\n");
        }
        return res.ok();
    }
    for (const auto &arg : o.pos) {
        auto d = lookup(arg);
        if (!d) {
            res.err("Device does not exist.\n");
            return res.fail();
        }
        res.out(text_of(d));
    }
    return res.ok();
}

// Tells whether "/dev/mapper/NAME" of a device still leads to it.
dm_reply cmd_mknodes()
{
    result res;
    std::string error;
    for (auto &d : all_devices()) {
        if (d->loop_nr < 0)
            continue;
        struct stat st {
        };
        if (::stat(dev_mapper(d->name).c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
            st.st_rdev == d->rdev)
            continue;
        if (!make_node(d->name, d->rdev, error))
            res.err(error + "\n");
    }
    return res.ok();
}

// Tells the LVM tools which devices to leave out of their scan: the suspended
// ones, and those `about_to_suspend`. Only in a sandbox that names the file.
void publish_lvm_filter(const std::vector<std::shared_ptr<device>> &about_to_suspend = {})
{
    const char *conf = std::getenv("RFS_DM_LVM_CONF");
    if (!conf || !*conf)
        return;
    std::vector<lvm_hidden_dev> hidden;
    for (const auto &d : all_devices()) {
        bool suspended = false;
        {
            std::lock_guard lk(d->m);
            suspended = d->suspended && !d->removed;
        }
        if (suspended || std::find(about_to_suspend.begin(), about_to_suspend.end(), d) !=
                             about_to_suspend.end())
            hidden.push_back({d->name, d->loop_nr});
    }
    if (!lvm_filter_write(conf, hidden))
        fprintf(stderr, "rfs-dmd: cannot write %s: %s\n", conf, errno_text(errno).c_str());
}

dm_reply dispatch(const dm_request &req, const std::string &cmd, const options &o)
{
    result res;
    if (cmd == "create")
        return cmd_create(req, o);
    if (cmd == "load" || cmd == "reload")
        return cmd_load(req, o);
    if (cmd == "suspend")
        return cmd_suspend_resume(o, true);
    if (cmd == "resume")
        return cmd_suspend_resume(o, false);
    if (cmd == "remove")
        return cmd_remove(o);
    if (cmd == "remove_all") {
        remove_all(o.force);
        return res.ok();
    }
    if (cmd == "ls")
        return cmd_ls();
    if (cmd == "info")
        return cmd_info(o);
    if (cmd == "table")
        return cmd_table(o, false);
    if (cmd == "status")
        return cmd_table(o, true);
    if (cmd == "mknodes")
        return cmd_mknodes();
    if (cmd == "clear") {
        for (const auto &arg : o.pos)
            if (auto d = lookup(arg)) {
                std::lock_guard dl(d->m);
                d->inactive.reset();
            }
        return res.ok();
    }
    res.err("Unknown command: " + cmd + "\n");
    return res.fail();
}

} // namespace

dm_reply run_command(const dm_request &req)
{
    if (req.args.empty()) {
        result res;
        res.err("No command given\n");
        return res.fail();
    }
    std::lock_guard lk(ctl_mutex);
    const std::string &cmd = req.args[0];
    options o = parse_options(req.args);
    // Hidden before the first I/O can wait on the device, so that no LVM
    // command that starts from now on blocks on it.
    if (cmd == "suspend") {
        std::vector<std::shared_ptr<device>> to_suspend;
        for (const auto &arg : o.pos)
            if (auto d = lookup(arg))
                to_suspend.push_back(std::move(d));
        publish_lvm_filter(to_suspend);
    }
    dm_reply reply = dispatch(req, cmd, o);
    if (cmd == "suspend" || cmd == "resume" || cmd == "remove" || cmd == "remove_all")
        publish_lvm_filter();
    return reply;
}

void remove_all_devices()
{
    std::lock_guard lk(ctl_mutex);
    remove_all(true);
    publish_lvm_filter();
}

} // namespace rfsdm
