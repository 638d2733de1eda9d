// dmsetup stand-in: parses dmsetup's command line, reads the table when the
// command takes one, and lets rfs-dmd do the work.

#include "dm_proto.hpp"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace rfsdm;

namespace {

int usage()
{
    std::fprintf(stderr, "Usage:\n\n"
                         "dmsetup\n"
                         "        [--version] [-f|--force] [-r|--readonly] [-u|--uuid <uuid>] [--notable]\n"
                         "        [--table <table>] [--inactive] [--noudevsync] [--noudevrules] [-v|--verbose]\n\n"
                         "        create <dev_name> [<table_file>]\n"
                         "        load|reload <dev_name> [<table_file>]\n"
                         "        suspend <dev_name>...\n"
                         "        resume <dev_name>...\n"
                         "        remove [-f] <dev_name>...\n"
                         "        remove_all [-f]\n"
                         "        ls\n"
                         "        info [<dev_name>]\n"
                         "        table [<dev_name>]\n"
                         "        status [<dev_name>]\n"
                         "        mknodes [<dev_name>]\n"
                         "        clear <dev_name>\n"
                         "        version\n");
    return 1;
}

bool read_all(std::istream &in, std::string &out)
{
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> flags;
    std::vector<std::string> pos;
    std::string table_opt;
    bool have_table_opt = false;
    bool notable = false;
    // Options that dmsetup takes and that change nothing here.
    static const std::set<std::string> ignored = {"--noudevsync", "--noudevrules", "--verifyudev", "--noflush",
                                                  "--nolockfs", "--noheadings", "-y", "--yes", "-v",
                                                  "--verbose", "-vv", "--retry", "--deferred", "--noopencount",
                                                  "--nolocking"};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--version") {
            pos = {"version"};
            break;
        }
        if (a == "-f" || a == "--force")
            flags.push_back("--force");
        else if (a == "-r" || a == "--readonly")
            flags.push_back("--readonly");
        else if (a == "--inactive")
            flags.push_back("--inactive");
        else if (a == "--notable") {
            flags.push_back("--notable");
            notable = true;
        } else if (a == "-u" || a == "--uuid") {
            if (++i >= argc)
                return usage();
            flags.push_back(std::string("--uuid=") + argv[i]);
        } else if (a.rfind("--uuid=", 0) == 0) {
            flags.push_back(a);
        } else if (a == "--table") {
            if (++i >= argc)
                return usage();
            table_opt = argv[i];
            have_table_opt = true;
        } else if (a == "-j" || a == "--major" || a == "-m" || a == "--minor" || a == "--udevcookie") {
            if (++i >= argc)
                return usage();
        } else if (ignored.count(a)) {
            continue;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "dmsetup: unrecognized option '%s'\n", a.c_str());
            return usage();
        } else {
            pos.push_back(a);
        }
    }
    if (pos.empty())
        return usage();
    std::string cmd = pos[0];
    if (cmd == "version") {
        std::printf("Library version:   1.02.185 (2022-05-18)\nDriver version:    4.48.0\n");
        return 0;
    }
    if (cmd == "help")
        return usage();
    if (cmd == "udevcomplete_all" || cmd == "udevcookies" || cmd == "udevflags" || cmd == "udevcomplete")
        return 0;

    dm_request req;
    req.args.push_back(cmd);
    req.args.insert(req.args.end(), flags.begin(), flags.end());
    if (cmd == "create" || cmd == "load" || cmd == "reload") {
        if (pos.size() < 2)
            return usage();
        req.args.push_back(pos[1]);
        if (have_table_opt) {
            req.input = table_opt;
            // --table separates lines with ';' as well.
            for (auto &c : req.input)
                if (c == ';')
                    c = '\n';
        } else if (pos.size() > 2) {
            std::ifstream f(pos[2], std::ios::binary);
            if (!f || !read_all(f, req.input)) {
                std::fprintf(stderr, "Couldn't open '%s' for reading\nCommand failed.\n", pos[2].c_str());
                return 1;
            }
        } else if (!notable) {
            if (!read_all(std::cin, req.input)) {
                std::fprintf(stderr, "Failed to read table from standard input\nCommand failed.\n");
                return 1;
            }
        }
    } else {
        req.args.insert(req.args.end(), pos.begin() + 1, pos.end());
    }

    dm_reply rep;
    std::string error;
    if (!dm_call(req, rep, error)) {
        std::fprintf(stderr, "dmsetup: %s\nCommand failed.\n", error.c_str());
        return 1;
    }
    std::fwrite(rep.out.data(), 1, rep.out.size(), stdout);
    std::fflush(stdout);
    std::fwrite(rep.err.data(), 1, rep.err.size(), stderr);
    return rep.rc;
}
