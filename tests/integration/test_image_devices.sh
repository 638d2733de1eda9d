#!/usr/bin/env bash
# The merged change-block device on real block devices, inside the appliance
# sandbox: runs the gtest program of tests/integration/devices there.
RFS_TEST_SANDBOX=1
. "$(dirname "$0")/lib.sh"

"$RFS_BUILD_DIR/tests/integration_devices"
check_eq "the device cases pass" 0 $?
# Whatever the cases did, nothing of theirs may stay behind.
check_eq "no device-mapper device left" "" "$(ls /dev/mapper | grep '^cbt\.')"
rfs_finish
