// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The document of one listing, written part by part in its order: the
// frame's opening and the parent-folder element, then the single file or
// the folder's entries one at a time, then the frame's closing tag.
// kelvane_at() writes every part in one call; a pulled listing
// (open_listing.cc) writes them as its caller asks for bytes.
#ifndef KELVANE_DOCUMENT_H
#define KELVANE_DOCUMENT_H

#include <cstdio>

#include "listing.h"
#include "walk.h"

// What a path leads to, found before anything is written: a regular file,
// or a folder opened for its walk.
struct listed_path {
    int error;        // 0, or the negated errno of why it can't be listed
    bool status_read; // the error, if any, came after the path's status was read
    int folder;       // the opened folder's descriptor, or -1
};

// Reads the status of `path` (relative to the root, and beneath it under
// STAY_BENEATH) and opens it if it is a folder. A path that leads outside
// the root gives -EPERM; one that is neither a regular file nor a folder
// -ENOTDIR.
listed_path find_listed(const listing_root &root, const char *path) noexcept;

enum class document_part { body, closing, ended };

struct document {
    listing_context listing;
    const char *path;
    std::FILE *out;
    // A single file's parent path, kept from the parent-folder element to
    // the file's entry, whose D letters it decides; null when memory for it
    // could not be had (the element is missing then, and so are the
    // letters).
    heap_text parent;
    bool single_file;
    document_part next;
    int result;
    folder_walk walk;
};

// Writes the frame's opening and the parent-folder element of `path`, and
// starts the walk of the folder `found` opened (taking over its
// descriptor). When `found` says the path can't be listed, the document
// goes on with its closing tag and `failure` is its result. `output` is
// the descriptor behind `out`, or -1.
void open_document(document &doc, std::FILE *out, int output, const char *path,
                   const listed_path &found, int failure) noexcept;

// Writes the next part: the single file's entry, the next entry of the
// folder, or the closing tag. False once the document has ended.
bool write_next_part(document &doc) noexcept;

// Writes every part left.
void write_rest(document &doc) noexcept;

#endif // KELVANE_DOCUMENT_H
