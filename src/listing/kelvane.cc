// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The listing driver: guards the path, writes the document frame and the
// parent-folder element, and hands a single file or each entry of a folder
// to write_entry() and write_element(). What the paths lead to, relative to
// the root and beneath it, is beneath.cc's.
#include "kelvane.h"

#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <langinfo.h>
#include <unistd.h>

#include "listing.h"
#include "writer.h"

namespace {

struct folder_closer {
    void operator()(DIR *folder) const noexcept { closedir(folder); }
};
using folder_handle = std::unique_ptr<DIR, folder_closer>;

void open_frame(std::FILE *out) noexcept {
    put_text(out, "<?xml version=\"1.0\" encoding=\"");
    put_text(out, nl_langinfo(CODESET));
    put_text(out, "\"?>\n"
                  "<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">\n"
                  "<folder-listing version=\"1.0\">\n");
}

void close_frame(std::FILE *out) noexcept {
    put_text(out, "</folder-listing>\n");
}

// Writes the parent-folder element when asked and gives the access mode of
// the folder that holds `path`, should it name a single file: 0 when that
// folder's status can't be read, or memory for its path can't be had (in
// which case the parent-folder element is left out too).
unsigned containing_folder_mode(std::FILE *out, const char *path,
                                const listing_context &listing) noexcept {
    heap_text parent = parent_path(path);
    if (!parent)
        return 0;
    if (listing.flags & SHOW_PARENT)
        put_text(out, "  <parent-folder />\n");
    struct stat status;
    if (read_path_status(listing.root, parent.get(), status) != 0)
        return 0;
    return access_mode(status, listing.flags, listing.ids);
}

} // namespace

const char *next_name(folder_walk &walk) noexcept {
    for (;;) {
        errno = 0;
        const struct dirent *entry = readdir(walk.folder);
        if (!entry) {
            walk.read_error = errno;
            return nullptr;
        }
        const std::string_view name(entry->d_name);
        if (name == "." || name == ".." || hidden_from(name, walk.listing.flags))
            continue;
        ++walk.listed;
        return entry->d_name;
    }
}

void list_entry(folder_walk &walk, std::string_view name, int error,
                const struct stat &status) noexcept {
    if (error == 0)
        write_element(walk.out, name, status, walk.folder_mode, walk.listing);
    else if (!entry_is_gone(error) && walk.first_failure == 0)
        walk.first_failure = -error;
}

namespace {

// A path that leads outside the root (under STAY_BENEATH) is refused; one
// found so only after the frame was written, because a link was swapped in
// meanwhile, is refused all the same.
int refused_if_outside(int error, int otherwise) noexcept {
    return error == EXDEV ? -EPERM : otherwise;
}

// Writes one entry per name in the folder, in the order the system gives
// them. Each entry's status is read relative to the folder opened here, so
// that the listing describes that one folder even if its path comes to name
// another, whatever the path's length or depth. A long walk hands the
// status reads to helper threads (read_ahead.cc); the document is the same.
// An entry whose status can't be read is left out and the walk goes on; the
// first such failure in the folder's order is the result, so that a listing
// missing entries never passes for a whole one (entries that are simply
// gone don't count, see entry_is_gone()). An error reading the folder ends
// the walk, and is the result when nothing failed before it. Whatever was
// listed stays listed.
int walk_folder(std::FILE *out, const char *path, listing_context &listing) noexcept {
    const int descriptor = open_folder(listing.root, path);
    if (descriptor < 0)
        return refused_if_outside(-descriptor, descriptor);
    folder_handle folder(fdopendir(descriptor));
    if (!folder) {
        const int error = errno;
        close(descriptor);
        return -error;
    }
    struct stat status;
    if (fstat(descriptor, &status) != 0)
        return -errno;
    folder_walk walk{.out = out,
                     .folder = folder.get(),
                     .statuses = {descriptor, listing.root, path},
                     .folder_mode = access_mode(status, listing.flags, listing.ids),
                     .listing = listing,
                     .listed = 0,
                     .first_failure = 0,
                     .read_error = 0};
    read_ahead_pace pace = start_pace(out);
    while (const char *name = next_name(walk)) {
        const int error = read_status_paced(pace, walk.statuses, name, status);
        list_entry(walk, name, error, status);
        const read_ahead_kind ahead = read_ahead_due(pace, walk.listed);
        if (ahead != read_ahead_kind::none && list_rest_ahead(walk, ahead))
            break;
    }
    return walk.first_failure ? walk.first_failure : -walk.read_error;
}

// Lists what `path` names once it has passed the guard; the frame is open.
int list_path(std::FILE *out, const char *path, listing_context &listing) noexcept {
    const unsigned folder_mode = containing_folder_mode(out, path, listing);
    struct stat status;
    if (const int error = read_path_status(listing.root, path, status))
        return refused_if_outside(error, -ENOTDIR);
    if (S_ISREG(status.st_mode))
        return write_entry(out, path, folder_mode, listing);
    if (S_ISDIR(status.st_mode))
        return walk_folder(out, path, listing);
    return -ENOTDIR;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int
kelvane_at(FILE *out, int root, const char *path, unsigned int flags) {
    if (!out || !path || path_climbs_out(path))
        return -EINVAL;
    const listing_root where{root, (flags & STAY_BENEATH) != 0};
    if (const int refused = refusal_of(where, path))
        return refused;
    listing_context listing = start_listing(flags, where);
    stream_lock lock = lock_stream(out);
    open_frame(out);
    const int result = list_path(out, path, listing);
    close_frame(out);
    return result;
}

extern "C" __attribute__((visibility("default"))) int kelvane(FILE *out, const char *path,
                                                              unsigned int flags) {
    return kelvane_at(out, AT_FDCWD, path, flags);
}
