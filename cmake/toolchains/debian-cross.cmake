# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# What the toolchain files here share: Debian's cross compilers for
# KELVANE_TARGET (a GNU triplet, such as arm-linux-gnueabihf), the target's
# libraries where Debian's multiarch puts them (dpkg --add-architecture),
# and qemu-user to run what is built (KELVANE_TARGET_EMULATOR).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${KELVANE_TARGET_PROCESSOR})
set(CMAKE_C_COMPILER ${KELVANE_TARGET}-gcc)
set(CMAKE_CXX_COMPILER ${KELVANE_TARGET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KELVANE_TARGET})

# The build machine's programs, the target's libraries and headers: only
# the target's multiarch folders (and /usr/local's) are searched for
# libraries, so that the build machine's are never linked.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR}
    "/usr/local/lib/${KELVANE_TARGET}/pkgconfig:/usr/lib/${KELVANE_TARGET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Test programs, and GoogleTest's listing of their tests at build time, run
# under the emulator. The programs they start in turn are run by the
# system through binfmt_misc, where the emulator is registered (README,
# Cross-compiling).
set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVANE_TARGET_EMULATOR})
