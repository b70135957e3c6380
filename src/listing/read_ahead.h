// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Status reads ahead of the writer, on helper threads (read_ahead.cc): when
// a walk decides to have them, and how many, and the ring through which
// they hand statuses to the walk. Nothing here is exported from the
// library.
#ifndef KELVANE_READ_AHEAD_H
#define KELVANE_READ_AHEAD_H

#include <climits>
#include <cstdint>
#include <ctime>
#include <memory>

#include "listing.h"

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
    std::int64_t entries;    // entries listed in it
    std::int64_t wall_ns;    // its length
    std::int64_t cpu_ns;     // processor time the walking thread had in it
    std::int64_t read_ns;    // time spent inside status reads
    std::int64_t read_waits; // voluntary context switches inside status reads
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

// When the walk has gone on long enough to be worth helpers. Its first
// status read is watched: when that read alone took a millisecond, the
// window holds it, and a slow file system is known after one read.
// Otherwise the walk goes on serially, opens its window at the first look
// after about 1 ms, watching every status read from then on, and decides
// once when the window has lasted about 1 ms more and holds a few entries,
// or has lasted a few milliseconds.
//
// A listing pulled piece by piece is paused between pieces: the time its
// caller spends away, and the processor time it spends there, are not the
// walk's.
struct read_ahead_pace {
    bool decided;
    bool window_open;
    bool watching;        // status reads are timed (the first, or the window's)
    int output;           // the descriptor the document goes to, or -1
    std::int64_t look_every_mask; // the clock is read every (mask + 1) entries
    struct timespec start;
    struct timespec opened;
    struct timespec paused_at;
    std::int64_t listed_at_open;
    std::int64_t cpu_ns_mark;   // the walking thread's processor time when last looked at
    std::int64_t cpu_ns_before; // processor time in the window before that
    std::int64_t read_ns;       // in the window so far
    std::int64_t read_waits;    // in the window so far
};
read_ahead_pace start_pace(int output) noexcept;
void pause_pace(read_ahead_pace &pace) noexcept;
void resume_pace(read_ahead_pace &pace) noexcept;

read_ahead_kind decide_read_ahead(read_ahead_pace &pace, std::int64_t listed) noexcept;
int read_status_watched(read_ahead_pace &pace, const status_source &source,
                        const char *name, struct stat &status) noexcept;

// Reads an entry's status, as read_entry_status() does; while the pace
// watches, also notes how long the read took and whether it slept.
inline int read_status_paced(read_ahead_pace &pace, const status_source &source,
                             const char *name, struct stat &status) noexcept {
    if (!pace.watching)
        return read_entry_status(source, name, status);
    return read_status_watched(pace, source, name, status);
}

// What helpers to start now: none until the decision is due, and none ever
// after it. Called for every entry of a serial walk: what it costs there is
// a test and a branch.
inline read_ahead_kind read_ahead_due(read_ahead_pace &pace,
                                      std::int64_t listed) noexcept {
    if (pace.decided || ((listed - 1) & pace.look_every_mask) != 0)
        return read_ahead_kind::none;
    return decide_read_ahead(pace, listed);
}

// The helpers of one walk and the ring of entries in flight between them
// and the walk. Stopping it tells the helpers to stop, joins them, gives
// them back to the process's budget and releases the ring.
struct read_ahead;
struct read_ahead_stopper {
    void operator()(read_ahead *ahead) const noexcept;
};
using running_read_ahead = std::unique_ptr<read_ahead, read_ahead_stopper>;

// Starts helpers reading statuses from `statuses` ahead of the walk, as
// many as `kind` asks and the process's budget has (see read_ahead.cc).
// Null when no helper could be had: the walk goes on serially. With
// `hold_cancellation` the calling thread can't be cancelled until the
// helpers are stopped, on the same thread: they read what lies on its
// stack.
running_read_ahead start_read_ahead(const status_source &statuses, read_ahead_kind kind,
                                    bool hold_cancellation) noexcept;

// The walk hands the folder's names in, in its order, and takes them back
// with their statuses in the same order. Names go in batches, so that idle
// helpers are woken once per batch: names_wanted() is 0 while the helpers
// have enough ahead of the writer, and otherwise the room left in the ring;
// the walk puts in that many names, or what the folder has left, then hands
// the batch over.
std::int64_t names_wanted(const read_ahead &ahead) noexcept;
void put_name(read_ahead &ahead, const char *name) noexcept;
void hand_over_names(read_ahead &ahead) noexcept;

// An entry whose status has been read: `error` is 0 when `status` holds it.
struct read_ahead_entry {
    int error;
    struct stat status;
    char name[NAME_MAX + 1];
};

// The next entry handed over, once its status is in: the writer only waits
// when it isn't, and reads others meanwhile where reads compute. Valid
// until the next call of put_name() or next_read_ahead(). Null when every
// entry handed over has been taken.
const read_ahead_entry *next_read_ahead(read_ahead &ahead) noexcept;

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

// The process's budget of helpers that wait on the file system is shared
// by the walks that read ahead and the threads that feed non-blocking
// listings (open_listing.cc): one such thread is taken, or false when the
// budget is spent, and given back.
bool take_waiting_helper() noexcept;
void give_back_waiting_helper() noexcept;

// open_listing.cc: a non-blocking listing that found the budget spent
// waits for a helper to be given back; this tells the first such listing's
// caller to try again.
void wake_a_starved_listing() noexcept;

// For the tests alone, to force each way of walking: after how many
// entries the decision is taken (-1: by time), how many helpers it gives
// (-1: as the kind does, and where reads wait with the depth growing as
// measured), and of which kind. Not exported from the library.
struct read_ahead_plan {
    std::int64_t decide_after;
    int helpers;
    read_ahead_kind kind = read_ahead_kind::computing;
};
extern read_ahead_plan forced_read_ahead;

#endif // KELVANE_READ_AHEAD_H
