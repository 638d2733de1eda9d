#pragma once
// Index of the external programs the system runs, in one table. A program with
// two candidate paths resolves, once per process, to the first one that the
// process may execute.

enum class tol_program_t {
    dmsetup,
    losetup,
    kpartx,
    pvs,
    lvs,
    lvchange,
    vgrename,
    pvcreate,
    vgcfgrestore,
    vol_id,
    sfdisk,
    mount,
    umount,
    exportfs,
    fusermount,
    brand_reader,
    watchdog_test_controller,
};

// Full path of the program (the first candidate when none is executable).
const char *tol_program_path(tol_program_t program);
// Whether one of the program's paths is executable by this process.
bool tol_program_available(tol_program_t program);

// The rule behind tol_program_path: `first` when this process may execute it,
// else `second` (when given) if it may execute that, else `first`.
const char *tol_program_choose(const char *first, const char *second);

// Test seam: with a directory, every program resolves to the file of the same
// base name in that directory ("/sbin/losetup" to "DIR/losetup"), so that tests
// run scripted fakes; nullptr restores the fixed paths. The product never sets
// it. Not for use while other threads run programs.
void tol_programs_set_root(const char *dir);
