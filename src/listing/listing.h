// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Internal interface of the folder listing: the pieces a document is made
// of. The walk through a folder is walk.h's, the document's order and the
// driver document.h's, the read-ahead read_ahead.h's. Nothing here is
// exported from the library.
#ifndef KELVANE_LISTING_H
#define KELVANE_LISTING_H

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string_view>

#include <sys/stat.h>
#include <sys/types.h>

// Sizes past 4 GiB and times past January 2038 are ordinary (FAT media
// carry dates to 2107, devices with a wrong clock make any): on a 32-bit
// system the C library gives them only when asked (CMakeLists.txt), and a
// status read would otherwise fail with EOVERFLOW.
static_assert(sizeof(off_t) >= 8,
              "file sizes need 64 bits: build with _FILE_OFFSET_BITS=64");
static_assert(sizeof(time_t) >= 8,
              "times need 64 bits: build with _TIME_BITS=64 (glibc 2.34 or later)");

// A heap text released with free() on every way out of its scope.
struct free_deleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
using heap_text = std::unique_ptr<char, free_deleter>;

// path.cc: the path guard and the parent-path rule.

// True when the path climbs upwards through "..": it starts with "../", is
// exactly "..", or (longer than three characters) holds "/../" or ends in
// "/..". Such a path is refused before anything is written.
bool path_climbs_out(std::string_view path) noexcept;

// The folder whose write bits decide the D letters of `path` when it names a
// single file: a heap copy cut back to its last meaningful slash, "." when
// nothing is left to cut, "/" for a name directly under the root. Null when
// memory runs out.
heap_text parent_path(const char *path) noexcept;

// escape.cc: the one place where names are made safe for XML.

// How a name's bytes from 0x80 up are read and written, after the
// character set of the locale (the one the XML declaration names).
enum class name_codeset {
    utf8,  // read as UTF-8, written as they are
    ascii, // read as UTF-8 (the convention for file names), written as references
    other, // read in the locale's character set, written as references
};
name_codeset locale_codeset() noexcept;

// Write `name` as the text of a double-quoted attribute value: markup
// characters and control bytes below 0x80 become references, and the
// characters from 0x80 up are written as `codeset` says. What can't be read
// as a character, or isn't one XML allows, becomes U+FFFD.
void write_escaped(std::FILE *out, std::string_view name, name_codeset codeset) noexcept;

// entry.cc: the entry element and the access-mode rule.

// The effective ids the access-mode rule compares with. Each is asked of the
// system only when the flags leave its bits to be masked.
struct running_ids {
    uid_t user;
    gid_t group;
};
running_ids effective_ids(unsigned flags) noexcept;

// The permission bits of `status` as the running user sees them: unless
// SHOW_OWNER (SHOW_GROUP) is set, the owner (group) read and write bits are
// dropped when the effective user (group) id is neither the owner's
// (owning group's) id nor 0.
unsigned access_mode(const struct stat &status, unsigned flags, running_ids ids) noexcept;

// stamp.cc: time stamps.

// `seconds` since the epoch as a UTC stamp such as 20240102T030405Z, the
// text gmtime_r and strftime give with "%Y%m%dT%H%M%SZ". False when the
// time can't be broken down or doesn't fit.
bool utc_stamp(time_t seconds, char (&text)[20]) noexcept;

// The text of the last second a time attribute showed, kept so that a run
// of entries with the same time formats it once.
struct time_stamp {
    time_t seconds;
    bool formatted;
    char text[20];
};

// beneath.cc: where paths lead. They are resolved relative to a root
// folder, as the *at() calls do (AT_FDCWD: the current folder); under
// STAY_BENEATH every resolution stays inside the root, race-free, and what
// lies outside it is never reached.
struct listing_root {
    int folder;
    bool beneath;
};

// Why `path` is refused before anything is written, as a negated errno:
// under STAY_BENEATH, -EPERM when it is absolute or leads outside the root
// through a symbolic link, and the error of a system that can't resolve
// beneath a folder (-ENOSYS, or -EPERM from a sandbox); -EBADF when the
// root is no open descriptor. 0 when it may be listed (also when it leads
// nowhere: the document says so).
int refusal_of(const listing_root &root, const char *path) noexcept;

// The status of what `path` names, following symbolic links, relative to
// the root (and beneath it). 0, or the errno of the failure; EXDEV when
// the path leads outside the root.
int read_path_status(const listing_root &root, const char *path,
                     struct stat &status) noexcept;

// Opens the folder `path` names for reading its entries: the descriptor,
// or the negated errno (-EXDEV when it leads outside the root).
int open_folder(const listing_root &root, const char *path) noexcept;

// Where the statuses of a walked folder's entries are read: relative to the
// open folder; under STAY_BENEATH, an entry that is a symbolic link is
// followed from the root along the folder's path, so that its target too
// lies inside the root.
struct status_source {
    int folder;
    listing_root root;
    const char *folder_path;
};

// Reads the status of the entry `name` of a walked folder, following
// symbolic links. Returns 0, or the errno of the failure.
int read_status(int folder, const char *name, struct stat &status) noexcept;
int read_entry_status_beneath(const status_source &source, const char *name,
                              struct stat &status) noexcept;
inline int read_entry_status(const status_source &source, const char *name,
                             struct stat &status) noexcept {
    if (!source.root.beneath)
        return read_status(source.folder, name, status);
    return read_entry_status_beneath(source, name, status);
}

// What one listing carries from entry to entry: the flags, where it lists,
// and what would otherwise be asked again for every entry.
struct listing_context {
    unsigned flags;
    listing_root root;
    running_ids ids;
    name_codeset codeset; // of the locale, named in the declaration
    time_stamp created, modified, accessed;
};
listing_context start_listing(unsigned flags, listing_root root) noexcept;

// The hidden rule: a name that begins with a dot is left out unless
// SHOW_HIDDEN is set. It is applied before the entry's status is read.
bool hidden_from(std::string_view name, unsigned flags) noexcept;

// True when an entry whose status read failed with `error` is simply no
// longer there to list: gone since the folder was read (ENOENT), a
// symbolic link that leads nowhere (ENOENT, ELOOP, ENOTDIR), or, under
// STAY_BENEATH, one that leads outside the root (EXDEV): that is not the
// folder's content as it is served. Such an entry is left out silently;
// any other failure leaves it out and is reported.
bool entry_is_gone(int error) noexcept;

// Writes the element line of the entry called `name`, whose status has been
// read, or nothing when it is neither a regular file nor a folder.
// `folder_mode` is the access mode of the folder that holds it, the source
// of the D letters.
void write_element(std::FILE *out, std::string_view name, const struct stat &status,
                   unsigned folder_mode, listing_context &listing) noexcept;

// Hidden rule, status read and element line for the single listed file at
// `path`, relative to the listing's root. Returns 0, or the negated error
// of a status read that failed for a reason other than the file being
// gone.
int write_entry(std::FILE *out, const char *path, unsigned folder_mode,
                listing_context &listing) noexcept;

#endif // KELVANE_LISTING_H
