# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# 32-bit ARM with hardware floating point (Debian's armhf): Debian's
# g++-arm-linux-gnueabihf, the target's libraries from its multiarch
# packages (libc6:armhf and the -dev packages the tests need), run under
# qemu-arm. The C library there gives 64-bit times only when asked
# (glibc 2.34 and later), as the build does.
set(KELVANE_TARGET arm-linux-gnueabihf)
set(KELVANE_TARGET_PROCESSOR arm)
set(KELVANE_TARGET_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
