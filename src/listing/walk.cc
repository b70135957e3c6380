// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The walk through one opened folder. Each entry's status is read relative
// to the folder opened for the walk, so that the listing describes that
// one folder even if its path comes to name another, whatever the path's
// length or depth. A long walk hands the status reads to helper threads
// (read_ahead.cc); the document is the same. An entry whose status can't
// be read is left out and the walk goes on; the first such failure in the
// folder's order is the result, so that a listing missing entries never
// passes for a whole one. An error reading the folder ends the walk, and is
// the result when nothing failed before it. Whatever was listed stays
// listed.
#include "walk.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

int start_walk(folder_walk &walk, int descriptor, const char *path,
               listing_context &listing, std::FILE *out, int output) noexcept {
    walk.folder.reset(fdopendir(descriptor));
    if (!walk.folder) {
        const int error = errno;
        close(descriptor);
        return -error;
    }
    struct stat status;
    if (fstat(descriptor, &status) != 0)
        return -errno;
    walk.out = out;
    walk.statuses = {descriptor, listing.root, path};
    walk.folder_mode = access_mode(status, listing.flags, listing.ids);
    walk.listing = &listing;
    walk.listed = 0;
    walk.first_failure = 0;
    walk.read_error = 0;
    walk.names_ended = false;
    walk.pace = start_pace(output);
    return 0;
}

namespace {

// The name of the next entry to list: ".", ".." and hidden names are
// passed over. Null at the end of the folder, or when reading it failed.
const char *next_name(folder_walk &walk) noexcept {
    for (;;) {
        errno = 0;
        const struct dirent *entry = readdir(walk.folder.get());
        if (!entry) {
            walk.read_error = errno;
            walk.names_ended = true;
            return nullptr;
        }
        const std::string_view name(entry->d_name);
        if (name == "." || name == ".." || hidden_from(name, walk.listing->flags))
            continue;
        ++walk.listed;
        return entry->d_name;
    }
}

// Lists the entry called `name` whose status read gave `error` (0 when
// `status` holds its status): its line, or the failure kept if it is the
// first to report.
void list_entry(folder_walk &walk, std::string_view name, int error,
                const struct stat &status) noexcept {
    if (error == 0)
        write_element(walk.out, name, status, walk.folder_mode, *walk.listing);
    else if (!entry_is_gone(error) && walk.first_failure == 0)
        walk.first_failure = -error;
}

// Keeps the helpers supplied with names: when they run short, the ring is
// filled up from the folder.
void put_names_ahead(folder_walk &walk) noexcept {
    read_ahead &ahead = *walk.ahead;
    for (std::int64_t wanted = names_wanted(ahead); wanted > 0 && !walk.names_ended;
         --wanted) {
        const char *name = next_name(walk);
        if (!name)
            break;
        put_name(ahead, name);
    }
    hand_over_names(ahead);
}

} // namespace

bool walk_next(folder_walk &walk) noexcept {
    if (walk.ahead) {
        put_names_ahead(walk);
        if (const read_ahead_entry *entry = next_read_ahead(*walk.ahead)) {
            list_entry(walk, entry->name, entry->error, entry->status);
            return true;
        }
        walk.ahead.reset();
        return false;
    }
    // Once the folder has ended, it is not read again: an error that ended
    // it stays the one reported.
    if (walk.names_ended)
        return false;
    const char *name = next_name(walk);
    if (!name)
        return false;
    struct stat status;
    const int error = read_status_paced(walk.pace, walk.statuses, name, status);
    list_entry(walk, name, error, status);
    const read_ahead_kind kind = read_ahead_due(walk.pace, walk.listed);
    if (kind != read_ahead_kind::none)
        walk.ahead = start_read_ahead(walk.statuses, kind, walk.hold_cancellation);
    return true;
}

void walk_to_end(folder_walk &walk) noexcept {
    while (walk_next(walk)) {
    }
}

int walk_result(const folder_walk &walk) noexcept {
    return walk.first_failure ? walk.first_failure : -walk.read_error;
}
