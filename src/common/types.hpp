#pragma once
// Small shared types of every module.

#include <cstdint>

enum tol_bool_t : int { TOL_FALSE = 0, TOL_TRUE = 1 };

inline constexpr tol_bool_t tol_bool(bool b) { return b ? TOL_TRUE : TOL_FALSE; }

// Device sizes and offsets are counted in 512-byte sectors.
using tol_sector_t = int64_t;
inline constexpr int TOL_SECTOR_SIZE = 512;

// Paths are built into buffers of this size, terminator included.
inline constexpr int TOL_PATH_MAX = 4096;
