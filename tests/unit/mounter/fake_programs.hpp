#pragma once
// Scripted stand-ins for the programs of the program table, in a temporary
// directory that the table points at while the fixture lives. Every run
// appends "NAME ARGS" to the file "calls". A run is keyed by the program and
// its first argument ("losetup-d", "dmsetupremove"): the files KEY.rc and
// KEY.out hold one exit code and one output line per run, the last one
// repeating; without them a run prints nothing and exits 0.

#include "common/programs.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

class FakePrograms : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        for (const char *name :
             {"losetup", "dmsetup", "kpartx", "sfdisk", "vol_id", "umount", "lvchange"}) {
            const std::string path = dir / name;
            std::ofstream(path) << script;
            chmod(path.c_str(), 0755);
        }
        tol_programs_set_root(dir.path().c_str());
    }
    void TearDown() override { tol_programs_set_root(nullptr); }

    // Runs keyed `key` answer with these exit codes and output lines in turn.
    void answer(const std::string &key, const std::vector<int> &codes,
                const std::vector<std::string> &lines = {})
    {
        std::ofstream rc(dir / (key + ".rc"));
        for (int code : codes)
            rc << code << "\n";
        std::ofstream out(dir / (key + ".out"));
        for (const auto &line : lines)
            out << line << "\n";
    }

    std::vector<std::string> calls() const
    {
        std::ifstream in(dir / "calls");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    rfs_test::temp_dir dir{"rfs-fakes"};

  private:
    static constexpr const char *script = R"SH(#!/bin/sh
d=$(dirname "$0")
key=$(basename "$0")$(printf '%s' "$1" | tr -c 'a-z0-9-' '_')
echo "$(basename "$0") $*" >> "$d/calls"
next() { [ -s "$1" ] || return 1; head -n 1 "$1"; [ "$(wc -l < "$1")" -gt 1 ] && sed -i 1d "$1"; return 0; }
next "$d/$key.out"
rc=$(next "$d/$key.rc") || rc=0
exit "$rc"
)SH";
};
