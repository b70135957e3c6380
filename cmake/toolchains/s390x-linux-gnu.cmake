# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# 64-bit IBM Z (Debian's s390x), the big-endian architecture: Debian's
# g++-s390x-linux-gnu, run under qemu-s390x. Debian 12 can't install s390x
# libraries beside the build machine's (README, Cross-compiling): the
# programs use the cross compiler's own C and C++ libraries, under
# /usr/s390x-linux-gnu. The preset test-s390x links its programs with that
# folder's dynamic loader and libraries, so that they run here as they are,
# and so do the programs they start.
set(KELVANE_TARGET s390x-linux-gnu)
set(KELVANE_TARGET_PROCESSOR s390x)
set(KELVANE_TARGET_EMULATOR qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
