#pragma once
// Small helpers shared by the common-runtime unit tests.

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <string>

namespace rfs_test
{

// Everything written to standard output or error while `fn` runs, its
// children's output included.
template <typename Fn> std::string capture_stdout(Fn fn)
{
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}
template <typename Fn> std::string capture_stderr(Fn fn)
{
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

} // namespace rfs_test
