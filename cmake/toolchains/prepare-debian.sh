#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# Prepares a Debian 12 machine, as root, to build kelvane for other
# architectures and run its tests there under emulation:
#
#   cmake/toolchains/prepare-debian.sh armhf s390x
#
# For each: Debian's cross compiler, qemu-user, registered in binfmt_misc
# so that the system runs the target's programs (and the programs they
# start) as its own; and the target's libraries the tests use. qemu-user
# comes from bookworm-backports (10.0): Debian 12's own, 7.2, has no
# openat2, without which confined listings, and the OBEX server, refuse
# to run.
# - armhf: from Debian's multiarch packages (dpkg --add-architecture). Its
#   libopenobex, for the OBEX server example, can't be installed beside
#   the build machine's (the package is not multiarch, and obexftp needs
#   the build machine's), so its files are unpacked under /usr/local.
# - s390x: Debian 12's registry has no s390x security updates, so no s390x
#   library can be installed beside the updated amd64 ones; the cross
#   compiler's own C and C++ libraries serve (the emulator finds them
#   through QEMU_LD_PREFIX, which the presets set), GoogleTest is built
#   from the sources in /usr/src/googletest, and the tests ask the build
#   machine's programs for the faulty file system and the XML reader.
set -euo pipefail

(($#)) || { echo "usage: $0 armhf|s390x ..." >&2; exit 2; }

packages=()
for arch; do
    case $arch in
    armhf)
        if ! dpkg --print-foreign-architectures | grep -qx armhf; then
            dpkg --add-architecture armhf
            added_architecture=1
        fi
        packages+=(g++-arm-linux-gnueabihf libc6:armhf libstdc++6:armhf libgtest-dev:armhf
                   libxml2-dev:armhf libfuse3-dev:armhf libusb-1.0-0-dev:armhf)
        ;;
    s390x)
        packages+=(g++-s390x-linux-gnu googletest)
        ;;
    *)
        echo "$0: no recipe for $arch (armhf, s390x)" >&2
        exit 2
        ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
# An emulator that knows openat2 (QEMU 9 or later).
emulator_knows_openat2() {
    local version
    version=$(dpkg-query -W -f '${Version}' qemu-user 2>/dev/null) || return 1
    dpkg --compare-versions "$version" ge 1:9
}
backports=/etc/apt/sources.list.d/bookworm-backports.sources
if ! emulator_knows_openat2 && ! grep -rqs bookworm-backports /etc/apt/sources.list /etc/apt/sources.list.d; then
    cat >"$backports" <<'SOURCES'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    added_sources=1
fi
if ((${#missing[@]})) || [[ -n ${added_architecture:-}${added_sources:-} ]] || ! emulator_knows_openat2; then
    apt-get update
fi
if ((${#missing[@]})); then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
if ! emulator_knows_openat2; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        -t bookworm-backports qemu-user
fi

# libopenobex for armhf, beside the build machine's, in /usr/local: the
# cross compiler's pkg-config search (debian-cross.cmake) and the target's
# dynamic loader both look there.
unpack_openobex_armhf() {
    local libdir=/usr/local/lib/arm-linux-gnueabihf work
    [[ -e $libdir/pkgconfig/openobex.pc ]] && return
    work=$(mktemp -d)
    (cd "$work" && apt-get download libopenobex2:armhf libopenobex2-dev:armhf 2>/dev/null)
    for deb in "$work"/*.deb; do
        dpkg-deb -x "$deb" "$work/root"
    done
    mkdir -p "$libdir/pkgconfig" /usr/local/include
    cp -a "$work"/root/usr/lib/arm-linux-gnueabihf/libopenobex.so* "$libdir/"
    cp -a "$work/root/usr/include/openobex" /usr/local/include/
    sed 's|^prefix=/usr$|prefix=/usr/local|' \
        "$work/root/usr/lib/arm-linux-gnueabihf/pkgconfig/openobex.pc" >"$libdir/pkgconfig/openobex.pc"
    rm -rf "$work"
    ldconfig
}

# The emulators, registered for the target's ELF header (machine and class).
register() { # name, magic, mask
    local folder=/proc/sys/fs/binfmt_misc
    [[ -e $folder/register ]] || mount -t binfmt_misc binfmt_misc "$folder"
    [[ -e $folder/$1 ]] && return
    echo ":$1:M::$2:$3:/usr/bin/$1:" >"$folder/register"
}

for arch; do
    case $arch in
    armhf)
        unpack_openobex_armhf
        register qemu-arm \
            '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00' \
            '\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        ;;
    s390x)
        register qemu-s390x \
            '\x7fELF\x02\x02\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x16' \
            '\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff'
        ;;
    esac
done
