// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Status reads ahead of the writer. Reading an entry's status costs far more
// than writing its line, and the statuses of different entries don't depend
// on each other: in a long walk, helper threads read them ahead of the
// calling thread, which goes on reading the names and writing every line in
// the folder's order, so that the document is the one the serial walk
// writes.
//
// How many helpers, and what they do, follows what the walk meets:
//
// - The walk decides once, after about 2 ms, from a window of about 1 ms in
//   which it watched every status read (kind_of_walk): only the reads' own
//   waiting counts, not the writer's on its output nor being preempted,
//   and an output that can take nothing more then starts no helper.
// - Where reads compute (a warm cache), a helper per spare processor, three
//   at most, and the writer reads ahead too when the next status isn't in.
// - Where they wait (a slow or remote file system), the writer only writes,
//   and the number of reads in flight, one per helper, grows for as long as
//   growing pays (next_depth): up to the file system's own limit, or 128.
// - All calls in a process draw their helpers from one budget, counted
//   without locks: those that compute never outnumber the spare
//   processors, those that wait are never more than 128. A call that finds
//   it spent goes on with what it got, or serially.
//
// The entries in flight sit in a ring of a fixed number of slots, so memory
// doesn't grow with the folder. The writer puts names in; a helper claims
// the oldest entry no one has claimed, reads its status and marks its slot
// ready. The writer takes the slots in order, and sleeps only when the next
// one isn't ready and it has nothing to read itself.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include "futex.h"
#include "heap.h"
#include "helper_thread.h"
#include "read_ahead.h"

read_ahead_plan forced_read_ahead{-1, -1};

namespace {

// The walk opens its window at the first look after this time, and decides
// once it has been open this long and holds this many entries, or has been
// open the longest time: a folder listed sooner never starts a thread, nor
// watches its reads but the first.
constexpr std::int64_t open_window_after_ns = 1'000'000;
constexpr std::int64_t window_ns = 1'000'000;
constexpr std::int64_t fewest_entries_in_window = 4;
constexpr std::int64_t longest_window_ns = 4 * window_ns;
// Before the window, the clock is read every this many entries (a power of
// two), the first time after the first entry.
constexpr std::int64_t look_every = 4;
// Reads wait when at least one in this many put the thread to sleep.
constexpr std::int64_t entries_per_wait = 4;

// Where reads compute, a processor each, beside the writer's own; more than
// this gain nothing, the writer's share being the limit.
constexpr unsigned most_helpers_when_reads_compute = 3;
// Where they wait, the depth starts here and doubles while it pays, up to
// the most the process has for all its calls together.
constexpr unsigned first_depth_when_reads_wait = 8;
constexpr unsigned most_helpers_when_reads_wait = 128;
// A step pays when the rate rises by at least this part of what it could:
// for a doubling, by a quarter.
constexpr double part_of_gain_that_pays = 0.25;

constexpr unsigned ring_slots = 256;
// Names are refilled in batches, so that idle helpers are woken once per
// batch rather than once per entry; what is left ahead of the writer keeps
// every helper busy.
constexpr unsigned refill_below = ring_slots - 32;
static_assert(refill_below >= most_helpers_when_reads_wait,
              "a name ahead of the writer for every helper");

// The helpers only call fstatat: a small stack does.
constexpr std::size_t helper_stack = 64 << 10;

// Clocks in nanoseconds, 64 bits wide wherever long is not: a 32-bit count
// overflows after 2.1 s of uptime or of a thread's processor time.
std::int64_t ns_of(const struct timespec &time) noexcept {
    return std::int64_t{time.tv_sec} * 1'000'000'000 + time.tv_nsec;
}

std::int64_t now_ns() noexcept {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return ns_of(now);
}

std::int64_t elapsed_ns(const struct timespec &since) noexcept {
    return now_ns() - ns_of(since);
}

std::int64_t thread_cpu_ns() noexcept {
    struct timespec used;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) != 0)
        return 0;
    return ns_of(used);
}

std::int64_t voluntary_waits() noexcept {
    struct rusage usage;
    return getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_nvcsw : 0;
}

// A pipe or socket that its reader has not emptied takes nothing more now;
// a file or a stream in memory always does. Stdio's buffer may hide that
// for a while: the descriptor says it.
bool output_is_full(int output) noexcept {
    struct pollfd descriptor = {output, POLLOUT, 0};
    return output >= 0 && poll(&descriptor, 1, 0) == 0;
}

unsigned spare_processors() noexcept {
    cpu_set_t processors;
    if (sched_getaffinity(0, sizeof processors, &processors) != 0)
        return 0;
    return static_cast<unsigned>(std::max(CPU_COUNT(&processors) - 1, 0));
}

// The process's helpers of each kind, alive in any call.
std::atomic<unsigned> computing_helpers{0};
std::atomic<unsigned> waiting_helpers{0};

struct helper_budget {
    std::atomic<unsigned> *alive;
    unsigned most;
};

helper_budget budget_for(read_ahead_kind kind) noexcept {
    if (kind == read_ahead_kind::waiting)
        return {&waiting_helpers, most_helpers_when_reads_wait};
    return {&computing_helpers, spare_processors()};
}

unsigned room_in(const helper_budget &budget) noexcept {
    const unsigned alive = budget.alive->load(std::memory_order_relaxed);
    return alive < budget.most ? budget.most - alive : 0;
}

// Takes up to `wanted` helpers from the budget; gives how many it took.
unsigned take_from(const helper_budget &budget, unsigned wanted) noexcept {
    unsigned alive = budget.alive->load(std::memory_order_relaxed);
    for (;;) {
        const unsigned take =
            std::min(wanted, alive < budget.most ? budget.most - alive : 0);
        if (take == 0 || budget.alive->compare_exchange_weak(alive, alive + take,
                                                             std::memory_order_relaxed))
            return take;
    }
}

void give_back(const helper_budget &budget, unsigned count) noexcept {
    if (count == 0)
        return;
    budget.alive->fetch_sub(count, std::memory_order_relaxed);
    if (budget.alive == &waiting_helpers)
        wake_a_starved_listing();
}

// One entry in flight: its name, then its status or the errno of reading it.
struct ring_slot {
    // The entry's number + 1 once its status is in, as a 32-bit word that
    // can be waited on; slots are reused long before it wraps.
    std::atomic<std::uint32_t> ready;
    read_ahead_entry entry;
};

struct read_ahead_ring {
    status_source statuses;                         // read as the serial walk reads them
    bool writer_reads;                              // where reads compute
    alignas(64) std::atomic<std::int64_t> named;    // entries whose names are in
    alignas(64) std::atomic<std::int64_t> claimed;  // entries a thread has taken
    alignas(64) std::atomic<std::uint32_t> wakeups; // helpers sleep on it
    std::atomic<unsigned> idle_helpers;
    std::atomic<unsigned> depth; // helpers numbered from this on stop
    std::atomic<bool> done;
    std::atomic<std::int64_t> writer_waits_for; // the entry the writer sleeps on, or -1
    // While a depth is tried: the reads that started at or after `timed_from`
    // (on the monotonic clock, in ns; INT64_MAX when none is tried), how long
    // they took in all, and how often a helper found no name to read.
    alignas(64) std::atomic<std::int64_t> timed_from;
    std::atomic<std::int64_t> timed_reads;
    std::atomic<std::int64_t> timed_read_ns;
    std::atomic<unsigned> idle_turns;
    ring_slot slots[ring_slots];
};

void read_into_slot(read_ahead_ring &ring, std::int64_t entry) noexcept {
    ring_slot &slot = ring.slots[entry % ring_slots];
    if (ring.timed_from.load(std::memory_order_relaxed) == INT64_MAX) {
        slot.entry.error =
            read_entry_status(ring.statuses, slot.entry.name, slot.entry.status);
    } else {
        const std::int64_t start = now_ns();
        slot.entry.error =
            read_entry_status(ring.statuses, slot.entry.name, slot.entry.status);
        // A read that started before the depth now tried belongs to none.
        if (start >= ring.timed_from.load(std::memory_order_relaxed)) {
            ring.timed_read_ns.fetch_add(now_ns() - start, std::memory_order_relaxed);
            ring.timed_reads.fetch_add(1, std::memory_order_relaxed);
        }
    }
    slot.ready.store(static_cast<std::uint32_t>(entry + 1));
    if (ring.writer_waits_for.load() == entry)
        wake_one(slot.ready);
}

// Claims the oldest entry no thread has claimed and reads its status. False
// when every named entry has been claimed.
bool read_one_ahead(read_ahead_ring &ring) noexcept {
    std::int64_t entry = ring.claimed.load(std::memory_order_relaxed);
    while (entry < ring.named.load(std::memory_order_acquire)) {
        if (ring.claimed.compare_exchange_weak(entry, entry + 1,
                                               std::memory_order_acq_rel)) {
            read_into_slot(ring, entry);
            return true;
        }
    }
    return false;
}

// A helper's place in its crew: those numbered at or above the ring's
// depth stop.
struct helper_seat {
    read_ahead_ring *ring;
    unsigned number;
};

void *help(void *argument) noexcept {
    name_this_thread("kelvane-ahead");
    const helper_seat &seat = *static_cast<const helper_seat *>(argument);
    read_ahead_ring &ring = *seat.ring;
    for (;;) {
        const std::uint32_t wakeups = ring.wakeups.load();
        if (seat.number >= ring.depth.load())
            return nullptr;
        if (read_one_ahead(ring))
            continue;
        if (ring.done.load())
            return nullptr;
        // Short of names, unless some came in meanwhile (the first do just
        // after the helpers start).
        if (ring.claimed.load() >= ring.named.load())
            ring.idle_turns.fetch_add(1, std::memory_order_relaxed);
        ring.idle_helpers.fetch_add(1);
        wait_while(ring.wakeups, wakeups);
        ring.idle_helpers.fetch_sub(1);
    }
}

void wake_helpers(read_ahead_ring &ring) noexcept {
    ring.wakeups.fetch_add(1);
    if (ring.idle_helpers.load() > 0)
        wake_all(ring.wakeups);
}

// The helper threads of one walk, and the part of the process's budget they
// hold.
struct helper_crew {
    read_ahead_ring *ring;
    helper_budget budget;
    unsigned started;
    pthread_t threads[most_helpers_when_reads_wait];
    helper_seat seats[most_helpers_when_reads_wait];
};

// Stops and joins the helpers numbered `count` and above.
void stop_helpers_from(helper_crew &crew, unsigned count) noexcept {
    crew.ring->depth.store(count);
    wake_helpers(*crew.ring);
    for (unsigned i = count; i < crew.started; ++i)
        pthread_join(crew.threads[i], nullptr);
    give_back(crew.budget, crew.started - count);
    crew.started = count;
}

// Brings the crew up to `count` helpers, as many as the budget and the
// system give.
void start_helpers(helper_crew &crew, unsigned count) noexcept {
    count = std::min(count, most_helpers_when_reads_wait);
    if (count <= crew.started)
        return;
    const unsigned taken = take_from(crew.budget, count - crew.started);
    const unsigned before = crew.started;
    if (taken > 0) {
        thread_starter starter;
        if (const open_starter open = open_thread_starter(starter, helper_stack))
            while (crew.started < before + taken) {
                helper_seat &seat = crew.seats[crew.started];
                seat = {crew.ring, crew.started};
                if (!start_thread(starter, crew.threads[crew.started], help, &seat))
                    break;
                ++crew.started;
            }
    }
    give_back(crew.budget, before + taken - crew.started);
}

// Waits until the status of `entry` is in, reading others meanwhile where
// the writer reads too.
void await_status(read_ahead_ring &ring, std::int64_t entry) noexcept {
    ring_slot &slot = ring.slots[entry % ring_slots];
    const auto ready = static_cast<std::uint32_t>(entry + 1);
    while (slot.ready.load(std::memory_order_acquire) != ready) {
        if (ring.writer_reads && read_one_ahead(ring))
            continue;
        ring.writer_waits_for.store(entry);
        const std::uint32_t seen = slot.ready.load();
        if (seen != ready)
            wait_while(slot.ready, seen);
        ring.writer_waits_for.store(-1);
    }
}

void time_reads_from_now(read_ahead_ring &ring) noexcept {
    ring.timed_reads.store(0, std::memory_order_relaxed);
    ring.timed_read_ns.store(0, std::memory_order_relaxed);
    ring.idle_turns.store(0, std::memory_order_relaxed);
    ring.timed_from.store(now_ns(), std::memory_order_relaxed);
}

// The trial of depths where reads wait, step by step as the writer goes:
// called for every entry written until the depth has settled. Each depth
// is judged by the reads that started once it was set, as soon as there
// are half as many of them as it has helpers: while the helpers have names
// to read, statuses come in at (depth / the time a read takes).
void step_depth(read_depth &growth, helper_crew &crew) noexcept {
    read_ahead_ring &ring = *crew.ring;
    const std::int64_t reads = ring.timed_reads.load(std::memory_order_relaxed);
    if (2 * reads < growth.depth)
        return;
    const std::int64_t read_ns =
        std::max(ring.timed_read_ns.load(std::memory_order_relaxed), std::int64_t{1});
    const double rate = 1e9 * static_cast<double>(growth.depth) *
                        static_cast<double>(reads) / static_cast<double>(read_ns);
    // Helpers short of names are not what holds the walk back.
    const bool idled = ring.idle_turns.load(std::memory_order_relaxed) >= growth.depth;
    const unsigned had = crew.started;
    time_reads_from_now(ring);
    const unsigned wanted = next_depth(growth, rate, idled ? 0 : room_in(crew.budget));
    if (wanted > had)
        start_helpers(crew, wanted);
    else if (wanted < had)
        stop_helpers_from(crew, wanted);
    if (wanted > had && crew.started == had) // nothing more to be had
        growth.settled = true;
    growth.depth = crew.started;
    if (growth.settled)
        ring.timed_from.store(INT64_MAX, std::memory_order_relaxed);
}

} // namespace

read_ahead_kind kind_of_walk(const read_window &window) noexcept {
    if (window.entries <= 0 || window.wall_ns <= 0 || window.output_full)
        return read_ahead_kind::none;
    if (window.read_waits * entries_per_wait >= window.entries &&
        2 * window.read_ns >= window.wall_ns)
        return read_ahead_kind::waiting;
    if (4 * window.cpu_ns >= 3 * window.wall_ns && 4 * window.read_ns >= window.wall_ns)
        return read_ahead_kind::computing;
    return read_ahead_kind::none;
}

read_depth start_depth() noexcept {
    return {first_depth_when_reads_wait, 0, 0.0, false};
}

unsigned next_depth(read_depth &growth, double rate, unsigned room) noexcept {
    if (growth.settled)
        return growth.depth;
    if (growth.before != 0) {
        const double could = static_cast<double>(growth.depth) / growth.before;
        if (rate < growth.rate_before * (1 + part_of_gain_that_pays * (could - 1))) {
            growth.depth = growth.before;
            growth.settled = true;
            return growth.depth;
        }
    }
    const unsigned more =
        std::min({growth.depth, room, most_helpers_when_reads_wait - growth.depth});
    if (more == 0) {
        growth.settled = true;
        return growth.depth;
    }
    growth.before = growth.depth;
    growth.rate_before = rate;
    growth.depth += more;
    return growth.depth;
}

read_ahead_pace start_pace(int output) noexcept {
    read_ahead_pace pace{};
    pace.output = output;
    clock_gettime(CLOCK_MONOTONIC, &pace.start);
    pace.paused_at = pace.start; // a pulled listing starts paused
    // A forced decision comes after exactly its number of entries.
    if (forced_read_ahead.decide_after >= 0)
        return pace;
    pace.look_every_mask = look_every - 1;
    pace.watching = true; // the first read
    pace.cpu_ns_mark = thread_cpu_ns();
    return pace;
}

namespace {

void move_later(struct timespec &time, std::int64_t ns) noexcept {
    ns += time.tv_nsec;
    time.tv_sec += static_cast<time_t>(ns / 1'000'000'000);
    time.tv_nsec = static_cast<long>(ns % 1'000'000'000);
}

// The processor time the walking thread had while the pace watched.
std::int64_t watched_cpu_ns(const read_ahead_pace &pace) noexcept {
    return pace.cpu_ns_before + (thread_cpu_ns() - pace.cpu_ns_mark);
}

} // namespace

void pause_pace(read_ahead_pace &pace) noexcept {
    if (pace.decided)
        return;
    clock_gettime(CLOCK_MONOTONIC, &pace.paused_at);
    if (pace.watching)
        pace.cpu_ns_before = watched_cpu_ns(pace);
}

void resume_pace(read_ahead_pace &pace) noexcept {
    if (pace.decided)
        return;
    const std::int64_t away = elapsed_ns(pace.paused_at);
    move_later(pace.start, away);
    move_later(pace.opened, away);
    // The next piece may be pulled on another thread.
    if (pace.watching)
        pace.cpu_ns_mark = thread_cpu_ns();
}

int read_status_watched(read_ahead_pace &pace, const status_source &source,
                        const char *name, struct stat &status) noexcept {
    const std::int64_t waits = voluntary_waits();
    struct timespec before;
    clock_gettime(CLOCK_MONOTONIC, &before);
    const int error = read_entry_status(source, name, status);
    pace.read_ns += elapsed_ns(before);
    pace.read_waits += voluntary_waits() - waits;
    return error;
}

read_ahead_kind decide_read_ahead(read_ahead_pace &pace, std::int64_t listed) noexcept {
    if (forced_read_ahead.decide_after >= 0) {
        if (listed < forced_read_ahead.decide_after)
            return read_ahead_kind::none;
        pace.decided = true;
        return forced_read_ahead.kind;
    }
    if (!pace.window_open) {
        const std::int64_t walked = elapsed_ns(pace.start);
        if (listed == 1 && walked >= open_window_after_ns) {
            // The first read alone took the time the walk waits before it
            // looks: the window holds it, from the start.
            pace.window_open = true;
            pace.look_every_mask = 0;
            pace.opened = pace.start;
            pace.listed_at_open = 0;
        } else if (walked < open_window_after_ns) {
            if (listed == 1) { // the first read was quick: stop watching
                pace.watching = false;
                pace.read_ns = pace.read_waits = 0;
            }
            return read_ahead_kind::none;
        } else {
            // Every entry is looked at while the window is open: its reads
            // are watched anyway.
            pace.window_open = pace.watching = true;
            pace.look_every_mask = 0;
            clock_gettime(CLOCK_MONOTONIC, &pace.opened);
            pace.listed_at_open = listed;
            pace.cpu_ns_mark = thread_cpu_ns();
            pace.cpu_ns_before = 0;
            pace.read_ns = pace.read_waits = 0;
            return read_ahead_kind::none;
        }
    }
    const std::int64_t open_for = elapsed_ns(pace.opened);
    const std::int64_t entries = listed - pace.listed_at_open;
    if (open_for < window_ns ||
        (entries < fewest_entries_in_window && open_for < longest_window_ns))
        return read_ahead_kind::none;
    pace.decided = true;
    pace.watching = false;
    return kind_of_walk({.entries = entries,
                         .wall_ns = open_for,
                         .cpu_ns = watched_cpu_ns(pace),
                         .read_ns = pace.read_ns,
                         .read_waits = pace.read_waits,
                         .output_full = output_is_full(pace.output)});
}

// The read-ahead of one walk: the ring, its helpers, and how far the writer
// has got. Whatever way the walk ends, the helpers are told to stop and
// joined, the budget is given back, and, where it was held, the calling
// thread's cancellation state is restored: a cancelled caller would leave
// them reading freed memory.
struct read_ahead {
    read_ahead_ring ring;
    helper_crew crew;
    read_depth growth;    // tried where reads wait, unless forced
    std::int64_t named;   // entries whose names are in the ring (ring.named
                          // once handed over to the helpers)
    std::int64_t written; // entries taken by the writer
    bool holds_cancellation;
    int cancel_state;
};
void read_ahead_stopper::operator()(read_ahead *ahead) const noexcept {
    ahead->ring.done.store(true);
    stop_helpers_from(ahead->crew, 0);
    if (ahead->holds_cancellation)
        pthread_setcancelstate(ahead->cancel_state, nullptr);
    delete_from_heap(ahead);
}

running_read_ahead start_read_ahead(const status_source &statuses, read_ahead_kind kind,
                                    bool hold_cancellation) noexcept {
    running_read_ahead ahead(new_on_heap<read_ahead>());
    if (!ahead)
        return nullptr;
    read_ahead_ring &ring = ahead->ring;
    const bool waiting = kind == read_ahead_kind::waiting;
    ring.statuses = statuses;
    ring.writer_reads = !waiting;
    ring.depth.store(most_helpers_when_reads_wait);
    ring.writer_waits_for.store(-1);
    ring.timed_from.store(INT64_MAX);
    helper_crew &crew = ahead->crew;
    crew.ring = &ring;
    crew.budget = budget_for(kind);
    if (hold_cancellation) {
        ahead->holds_cancellation = true;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &ahead->cancel_state);
    }

    const bool forced = forced_read_ahead.helpers >= 0;
    read_depth &growth = ahead->growth;
    growth = start_depth();
    growth.settled = !waiting || forced;
    start_helpers(crew, forced    ? static_cast<unsigned>(forced_read_ahead.helpers)
                        : waiting ? first_depth_when_reads_wait
                                  : most_helpers_when_reads_compute);
    if (crew.started == 0)
        return nullptr;
    growth.depth = crew.started;
    return ahead;
}

std::int64_t names_wanted(const read_ahead &ahead) noexcept {
    const std::int64_t ahead_of_writer = ahead.named - ahead.written;
    return ahead_of_writer < refill_below ? ring_slots - ahead_of_writer : 0;
}

void put_name(read_ahead &ahead, const char *name) noexcept {
    std::strcpy(ahead.ring.slots[ahead.named % ring_slots].entry.name, name);
    ++ahead.named;
}

// Only the writer changes ring.named: it reads its own value relaxed.
std::int64_t handed_over(const read_ahead &ahead) noexcept {
    return ahead.ring.named.load(std::memory_order_relaxed);
}

void hand_over_names(read_ahead &ahead) noexcept {
    const std::int64_t handed = handed_over(ahead);
    if (handed == ahead.named)
        return;
    const bool first = handed == 0;
    ahead.ring.named.store(ahead.named, std::memory_order_release);
    wake_helpers(ahead.ring);
    if (first && !ahead.growth.settled) // the depth is judged from the first names on
        time_reads_from_now(ahead.ring);
}

const read_ahead_entry *next_read_ahead(read_ahead &ahead) noexcept {
    if (ahead.written == handed_over(ahead))
        return nullptr;
    if (!ahead.growth.settled && ahead.written > 0) // the entry taken before is listed
        step_depth(ahead.growth, ahead.crew);
    read_ahead_ring &ring = ahead.ring;
    await_status(ring, ahead.written);
    const ring_slot &slot = ring.slots[ahead.written % ring_slots];
    ++ahead.written;
    return &slot.entry;
}

bool take_waiting_helper() noexcept {
    return take_from(budget_for(read_ahead_kind::waiting), 1) == 1;
}

void give_back_waiting_helper() noexcept {
    give_back(budget_for(read_ahead_kind::waiting), 1);
}
