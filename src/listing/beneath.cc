// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Where paths lead. A listing resolves its path, the parent path of a
// single file and its entries relative to a root folder, as the *at()
// calls do. Under STAY_BENEATH it never reaches anything outside that root:
// a server lists what a remote device asked for under the folder it serves,
// and a symbolic link in there (to "/", to another user's home) must not
// take the device out of it. Checking the path by name, or with realpath()
// before opening it, loses to a link swapped in between; the kernel's
// resolution beneath a folder (openat2 with RESOLVE_BENEATH) does not: it
// refuses, with EXDEV, any step outside the folder, whether by "..", by a
// symbolic link that is absolute or climbs out (even one that comes back
// in), or by the magic links of /proc.
#include "listing.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string_view>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// A descriptor closed on every way out of its scope.
struct descriptor_closer {
    int descriptor;
    ~descriptor_closer() {
        if (descriptor >= 0)
            close(descriptor);
    }
};

// A resolution with ".." can lose a race with a rename elsewhere in the
// tree; the kernel then says EAGAIN rather than guess, and asks for
// another try.
constexpr int most_tries = 16;

// Opens `path` beneath `root`: the descriptor, or the negated errno.
int open_beneath(int root, const char *path, int flags) noexcept {
    struct open_how how = {};
    how.flags = static_cast<unsigned>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH;
    for (int tries = 1;; ++tries) {
        const long descriptor = syscall(SYS_openat2, root, path, &how, sizeof how);
        if (descriptor >= 0)
            return static_cast<int>(descriptor);
        if (errno != EAGAIN || tries == most_tries)
            return -errno;
    }
}

int status_beneath(int root, const char *path, struct stat &status) noexcept {
    const descriptor_closer file{open_beneath(root, path, O_PATH)};
    if (file.descriptor < 0)
        return -file.descriptor;
    return fstat(file.descriptor, &status) == 0 ? 0 : errno;
}

} // namespace

int refusal_of(const listing_root &root, const char *path) noexcept {
    const bool relative = path[0] != '/';
    if (root.folder != AT_FDCWD && relative && fcntl(root.folder, F_GETFD) < 0)
        return -EBADF;
    if (!root.beneath)
        return 0;
    if (!relative)
        return -EPERM;
    const descriptor_closer file{open_beneath(root.folder, path, O_PATH)};
    switch (file.descriptor) {
    case -EXDEV: return -EPERM;
    case -ENOSYS: // no openat2: this system can't keep a listing inside
    case -EPERM:  // a sandbox forbids it
        return file.descriptor;
    default: return 0;
    }
}

int read_path_status(const listing_root &root, const char *path,
                     struct stat &status) noexcept {
    if (root.beneath)
        return status_beneath(root.folder, path, status);
    return fstatat(root.folder, path, &status, 0) == 0 ? 0 : errno;
}

int open_folder(const listing_root &root, const char *path) noexcept {
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    if (root.beneath)
        return open_beneath(root.folder, path, flags);
    const int descriptor = openat(root.folder, path, flags);
    return descriptor >= 0 ? descriptor : -errno;
}

int read_status(int folder, const char *name, struct stat &status) noexcept {
    return fstatat(folder, name, &status, 0) == 0 ? 0 : errno;
}

// An entry that is no symbolic link stays inside the folder: its own
// status, read without following anything, is the one to list. A link is
// followed from the root, beneath it, along the folder's path (which the
// listing resolved beneath the root too), so that ".." in its target may
// climb within the root but never out of it.
int read_entry_status_beneath(const status_source &source, const char *name,
                              struct stat &status) noexcept {
    if (fstatat(source.folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (!S_ISLNK(status.st_mode))
        return 0;
    const std::string_view folder = source.folder_path;
    char path[PATH_MAX];
    const int length = std::snprintf(path, sizeof path, "%s%s%s", source.folder_path,
                                     folder.ends_with('/') ? "" : "/", name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path)
        return ENAMETOOLONG;
    return status_beneath(source.root.folder, path, status);
}
