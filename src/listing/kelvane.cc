// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The listing driver: guards the path, writes the document frame and the
// parent-folder element, and hands a single file to write_entry() or a
// folder to its walk (walk.cc). What the paths lead to, relative to the
// root and beneath it, is beneath.cc's.
#include "kelvane.h"

#include <cerrno>

#include <fcntl.h>
#include <langinfo.h>
#include <unistd.h>

#include "document.h"
#include "writer.h"

namespace {

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

// The access mode of the folder that holds a single file: 0 when its
// parent path could not be had or its status can't be read.
unsigned containing_folder_mode(const document &doc) noexcept {
    struct stat status;
    if (!doc.parent || read_path_status(doc.listing.root, doc.parent.get(), status) != 0)
        return 0;
    return access_mode(status, doc.listing.flags, doc.listing.ids);
}

// What kelvane_at() says of a path that can't be listed: the system's own
// error for a folder that can't be opened, -ENOTDIR for the rest, but a
// path that leads outside the root is refused all the same (a link swapped
// in after the check before the frame).
int unlisted_result(const listed_path &found) noexcept {
    if (found.status_read || found.error == -EPERM)
        return found.error;
    return -ENOTDIR;
}

} // namespace

listed_path find_listed(const listing_root &root, const char *path) noexcept {
    struct stat status;
    if (const int error = read_path_status(root, path, status))
        return {error == EXDEV ? -EPERM : -error, false, -1};
    if (S_ISREG(status.st_mode))
        return {0, true, -1};
    if (!S_ISDIR(status.st_mode))
        return {-ENOTDIR, true, -1};
    const int folder = open_folder(root, path);
    if (folder < 0)
        return {folder == -EXDEV ? -EPERM : folder, true, -1};
    return {0, true, folder};
}

void open_document(document &doc, std::FILE *out, int output, const char *path,
                   const listed_path &found, int failure) noexcept {
    doc.out = out;
    doc.path = path;
    doc.result = 0;
    doc.next = document_part::body;
    doc.single_file = found.error == 0 && found.folder < 0;
    open_frame(out);
    doc.parent = parent_path(path);
    if (doc.parent && (doc.listing.flags & SHOW_PARENT))
        put_text(out, "  <parent-folder />\n");
    if (!doc.single_file)
        doc.parent.reset();
    if (found.error != 0) {
        doc.result = failure;
        doc.next = document_part::closing;
    } else if (found.folder >= 0) {
        doc.result = start_walk(doc.walk, found.folder, path, doc.listing, out, output);
        if (doc.result != 0)
            doc.next = document_part::closing;
    }
}

bool write_next_part(document &doc) noexcept {
    switch (doc.next) {
    case document_part::body:
        if (doc.single_file) {
            const unsigned folder_mode = containing_folder_mode(doc);
            doc.parent.reset();
            doc.result = write_entry(doc.out, doc.path, folder_mode, doc.listing);
        } else if (walk_next(doc.walk)) {
            return true;
        } else {
            doc.result = walk_result(doc.walk);
        }
        doc.next = document_part::closing;
        return true;
    case document_part::closing:
        close_frame(doc.out);
        doc.next = document_part::ended;
        return true;
    case document_part::ended: break;
    }
    return false;
}

void write_rest(document &doc) noexcept {
    if (doc.next == document_part::body && !doc.single_file)
        walk_to_end(doc.walk);
    while (write_next_part(doc)) {
    }
}

extern "C" __attribute__((visibility("default"))) int
kelvane_at(FILE *out, int root, const char *path, unsigned int flags) {
    if (!out || !path || path_climbs_out(path))
        return -EINVAL;
    const listing_root where{root, (flags & STAY_BENEATH) != 0};
    if (const int refused = refusal_of(where, path))
        return refused;
    document doc{};
    doc.listing = start_listing(flags, where);
    // Helpers that read ahead see this call's stack.
    doc.walk.hold_cancellation = true;
    const listed_path found = find_listed(where, path);
    stream_lock lock = lock_stream(out);
    open_document(doc, out, fileno(out), path, found, unlisted_result(found));
    write_rest(doc);
    return doc.result;
}

extern "C" __attribute__((visibility("default"))) int kelvane(FILE *out, const char *path,
                                                              unsigned int flags) {
    return kelvane_at(out, AT_FDCWD, path, flags);
}
