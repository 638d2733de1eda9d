// vmdk-inspect: shows what the VMDK library reads from a descriptor, so that
// an operator can see why a disk will not open.
//
//   vmdk-inspect [--chain] [--json] [--debug LEVEL] DESCRIPTOR
//
// Without --chain it opens the descriptor alone and prints the parsed record.
// With --chain it also opens the extent files and the ancestor chain and
// prints, for every disk of the chain (newest first), its extents and the
// grain directory figures of its sparse extents. A failure prints the error
// line and exits with status 1.

#include "common/errdesc.hpp"
#include "common/logging.hpp"
#include "vmdk/vmdk_open.hpp"
#include "vmdk/vmdk_report.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <getopt.h>
#include <memory>
#include <new>
#include <vector>

namespace {

void usage(FILE *out)
{
    fprintf(out, "usage: vmdk-inspect [--chain] [--json] [--debug LEVEL] DESCRIPTOR\n"
                 "  --chain        also open the extent files and the ancestor chain\n"
                 "  --json         print one JSON object\n"
                 "  --debug LEVEL  debug level of the library's log lines\n");
}

int fail(errdesc_t *err)
{
    _errdesc_fprint(stderr, err, TOL_PRIO_ERROR);
    return 1;
}

// Closes, on every path out, the records it was given.
class open_disk {
  public:
    open_disk() : desc_(std::make_unique<vmdkdesc_t>()) {}
    ~open_disk()
    {
        close_extents();
        vmdk_close(desc_.get());
    }
    open_disk(const open_disk &) = delete;
    open_disk &operator=(const open_disk &) = delete;

    vmdkdesc_t *get() { return desc_.get(); }

    // Opens the extent files of every chain member (the disk alone when there
    // is no chain).
    errdesc_t *open_extents()
    {
        for (vmdkdesc_t *m : members()) {
            if (errdesc_t *err = vmdk_open_extentfiles(m))
                return err;
            opened_.push_back(m);
        }
        return nullptr;
    }

    std::vector<vmdkdesc_t *> members()
    {
        std::vector<vmdkdesc_t *> v;
        if (!desc_->vmdk_ancestor_array) {
            v.push_back(desc_.get());
            return v;
        }
        for (int i = 0; desc_->vmdk_ancestor_array[i]; i++)
            v.push_back(desc_->vmdk_ancestor_array[i]);
        return v;
    }

  private:
    void close_extents()
    {
        for (vmdkdesc_t *m : opened_)
            vmdk_close_extentfiles(m);
        opened_.clear();
    }

    std::unique_ptr<vmdkdesc_t> desc_;
    std::vector<vmdkdesc_t *> opened_;
};

} // namespace

static int run(int argc, char **argv)
{
    bool chain = false;
    bool json = false;
    static const option options[] = {
        {"chain", no_argument, nullptr, 'c'},
        {"json", no_argument, nullptr, 'j'},
        {"debug", required_argument, nullptr, 'd'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "cjd:h", options, nullptr)) != -1) {
        switch (c) {
        case 'c':
            chain = true;
            break;
        case 'j':
            json = true;
            break;
        case 'd':
            set_debug_level(atoi(optarg));
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }
    if (optind != argc - 1) {
        usage(stderr);
        return 2;
    }

    open_disk disk;
    if (errdesc_t *err = vmdk_open(argv[optind], disk.get()))
        return fail(err);
    if (chain) {
        if (errdesc_t *err = vmdk_get_ancestors(disk.get(), 0, &disk.get()->vmdk_ancestor_array))
            return fail(err);
        if (errdesc_t *err = disk.open_extents())
            return fail(err);
    }

    if (json) {
        json_object *o = vmdk_desc_to_json(disk.get());
        if (chain) {
            json_object *arr = json_object_new_array();
            for (vmdkdesc_t *m : disk.members())
                json_object_array_add(arr, vmdk_desc_to_json(m));
            json_object_object_add(o, "chain", arr);
        }
        printf("%s\n", json_object_to_json_string_ext(o, JSON_C_TO_STRING_PRETTY |
                                                            JSON_C_TO_STRING_NOSLASHESCAPE));
        json_object_put(o);
        return 0;
    }

    vmdk_print_desc(stdout, disk.get(), 0);
    if (chain) {
        int depth = 0;
        for (vmdkdesc_t *m : disk.members()) {
            printf("chain[%d]:\n", depth++);
            vmdk_print_desc(stdout, m, 2);
        }
    }
    return 0;
}

// An exception caught here unwinds the owners of whatever was made, so their
// destructors release it; an uncaught one would end the program without that.
int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "%s: out of memory\n", "vmdk-inspect");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", "vmdk-inspect", e.what());
    }
    return 1;
}
