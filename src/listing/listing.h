// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Internal interface of the folder listing: the pieces kelvane() is made of.
// Nothing here is exported from the library.
#ifndef KELVANE_LISTING_H
#define KELVANE_LISTING_H

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string_view>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

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

// kelvane.cc: the walk through one opened folder, entry by entry in the
// order the system gives them.
struct folder_walk {
    std::FILE *out;
    DIR *folder;
    status_source statuses; // relative to `folder`'s descriptor
    unsigned folder_mode;
    listing_context &listing;
    long listed;       // names handed on so far
    int first_failure; // the first reported status failure, negated, or 0
    int read_error;    // the errno that ended reading the folder, or 0
};

// The name of the next entry to list: ".", ".." and hidden names are
// passed over. Null at the end of the folder, or when reading it failed.
const char *next_name(folder_walk &walk) noexcept;

// Lists the entry called `name` whose status read gave `error` (0 when
// `status` holds its status): its line, or the failure kept if it is the
// first to report.
void list_entry(folder_walk &walk, std::string_view name, int error,
                const struct stat &status) noexcept;

// read_ahead.cc: status reads ahead of the writer, on helper threads.

// What helpers would do for the rest of a walk, after a look at how its
// status reads go.
enum class read_ahead_kind {
    none,      // nothing: the walk goes on serially
    computing, // the reads keep a processor busy: a helper per spare one
    waiting,   // the reads wait (a slow or remote file system): many in flight
};

// What the walk saw in the window it decides on: about a millisecond of
// entries, after the first millisecond.
struct read_window {
    long entries;     // entries listed in it
    long wall_ns;     // its length
    long cpu_ns;      // processor time the calling thread had in it
    long read_ns;     // time spent inside status reads
    long read_waits;  // voluntary context switches inside status reads
    bool output_full; // the document's stream can take nothing more now
};

// The rule: where the output can take nothing more, it is the limit, and
// helpers would gain nothing. Otherwise reads wait when one in a few of
// them put the thread to sleep and they take most of the time; they compute
// when the thread had the processor for most of the window (it was neither
// preempted nor blocked on its output) and the reads took a fair share of
// it; otherwise, again, helpers would gain nothing (the output, or the
// load, is the limit).
read_ahead_kind kind_of_walk(const read_window &window) noexcept;

// When the walk has gone on long enough to be worth helpers: it starts
// serially, opens its window at the first look after about 1 ms, watching
// every status read from then on, and decides once when the window has
// lasted about 1 ms more and holds a few entries.
struct read_ahead_pace {
    bool decided;
    bool watching;        // the window is open
    int output;           // the descriptor the document goes to, or -1
    long look_every_mask; // the clock is read every (mask + 1) entries
    struct timespec start;
    struct timespec opened;
    long listed_at_open;
    long cpu_ns_at_open;
    long read_ns;    // in the window so far
    long read_waits; // in the window so far
};
read_ahead_pace start_pace(std::FILE *out) noexcept;

read_ahead_kind decide_read_ahead(read_ahead_pace &pace, long listed) noexcept;
int read_status_watched(read_ahead_pace &pace, const status_source &source,
                        const char *name, struct stat &status) noexcept;

// Reads an entry's status, as read_entry_status() does; while the window is
// open, also notes how long the read took and whether it slept.
inline int read_status_paced(read_ahead_pace &pace, const status_source &source,
                             const char *name, struct stat &status) noexcept {
    if (!pace.watching)
        return read_entry_status(source, name, status);
    return read_status_watched(pace, source, name, status);
}

// What helpers to start now: none until the decision is due, and none ever
// after it. Called for every entry of a serial walk: what it costs there is
// a test and a branch.
inline read_ahead_kind read_ahead_due(read_ahead_pace &pace, long listed) noexcept {
    if (pace.decided || ((listed - 1) & pace.look_every_mask) != 0)
        return read_ahead_kind::none;
    return decide_read_ahead(pace, listed);
}

// Lists the rest of the folder with helper threads reading statuses ahead
// of the calling thread, which still reads the names and writes every line
// in the folder's order. The helpers come from the process's budget (see
// read_ahead.cc), as many as `kind` asks and the budget has; they are
// joined, and given back, before it returns. False, with nothing listed,
// when no helper could be had: the walk goes on serially.
bool list_rest_ahead(folder_walk &walk, read_ahead_kind kind) noexcept;

// Where reads wait, the number of them in flight (one per helper) is found
// by trying: it starts at 8 and doubles for as long as each step raises the
// rate at which statuses come in by a fair part of what it could, and steps
// back when one does not, or stops when the budget has no more.
struct read_depth {
    unsigned depth;     // helpers reading now
    unsigned before;    // the depth before the last step, 0 before any
    double rate_before; // statuses a second at `before`
    bool settled;
};
read_depth start_depth() noexcept;

// The depth to go on with, after a window at `growth.depth` in which
// statuses came in at `rate` a second, when `room` more helpers could be
// had. Never more than 128, nor less than the start.
unsigned next_depth(read_depth &growth, double rate, unsigned room) noexcept;

// For the tests alone, to force each way of walking: after how many
// entries the decision is taken (-1: by time), how many helpers it gives
// (-1: as the kind does, and where reads wait with the depth growing as
// measured), and of which kind. Not exported from the library.
struct read_ahead_plan {
    long decide_after;
    int helpers;
    read_ahead_kind kind = read_ahead_kind::computing;
};
extern read_ahead_plan forced_read_ahead;

#endif // KELVANE_LISTING_H
