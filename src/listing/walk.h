// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The walk through one opened folder, entry by entry in the order the
// system gives them, one entry a step, so that a listing pulled piece by
// piece stops and goes on wherever a piece ends.
#ifndef KELVANE_WALK_H
#define KELVANE_WALK_H

#include <cstdio>
#include <memory>
#include <string_view>

#include <dirent.h>
#include <sys/stat.h>

#include "listing.h"
#include "read_ahead.h"

struct folder_closer {
    void operator()(DIR *folder) const noexcept { closedir(folder); }
};
using folder_handle = std::unique_ptr<DIR, folder_closer>;

struct folder_walk {
    std::FILE *out;
    folder_handle folder;
    status_source statuses; // relative to `folder`'s descriptor
    unsigned folder_mode;
    listing_context *listing;
    std::int64_t listed; // names handed on so far
    int first_failure; // the first reported status failure, negated, or 0
    int read_error;    // the errno that ended reading the folder, or 0
    bool names_ended;  // the folder has no more names (or failed to read)
    read_ahead_pace pace;
    bool hold_cancellation; // helpers would read the calling thread's stack
    // Declared after `folder`: the helpers stop before the folder closes.
    running_read_ahead ahead;
};

// Starts the walk of the folder open at `descriptor`, which it takes over
// (closed on every way out), whose path is `path` relative to the
// listing's root. Lines go to `out`; `output` is the descriptor behind it,
// or -1. 0, or the negated errno of a folder that can't be read.
int start_walk(folder_walk &walk, int descriptor, const char *path,
               listing_context &listing, std::FILE *out, int output) noexcept;

// Lists the next entry: false at the end of the folder, or when reading it
// failed. Helpers still reading ahead are stopped at the end.
bool walk_next(folder_walk &walk) noexcept;

// Lists every entry left.
void walk_to_end(folder_walk &walk) noexcept;

// The result of what has been walked: the first status read that failed in
// the folder's order (entries simply gone don't count, see
// entry_is_gone()), or else the error that ended reading the folder, or 0.
int walk_result(const folder_walk &walk) noexcept;

#endif // KELVANE_WALK_H
