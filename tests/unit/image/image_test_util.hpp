#pragma once
// Temporary directories and files for the image tests.

#include "support/temp_dir.hpp"

#include <cstring>
#include <vector>

using rfs_test::outcome;
using rfs_test::read_file;
using rfs_test::temp_dir;
using rfs_test::write_file;

template <typename T> void put(std::vector<char> &bytes, size_t offset, const T &value)
{
    if (bytes.size() < offset + sizeof(T))
        bytes.resize(offset + sizeof(T));
    std::memcpy(bytes.data() + offset, &value, sizeof(T));
}
