// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Status reads ahead of the writer. Reading an entry's status costs far more
// than writing its line, and the statuses of different entries don't depend
// on each other: in a long walk, helper threads read them ahead of the
// calling thread, which goes on reading the names and writing every line in
// the folder's order, so that the document is the one the serial walk
// writes.
//
// The entries in flight sit in a ring of a fixed number of slots, so memory
// doesn't grow with the folder. The writer puts names in; a helper claims
// the oldest entry no one has claimed, reads its status and marks its slot
// ready. The writer takes the slots in order; when the next one isn't ready
// it reads a status itself rather than wait, and sleeps only when every
// named entry has been claimed.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>

#include "listing.h"

read_ahead_plan forced_read_ahead{-1, -1};

namespace {

// The walk watches its status reads from the first of these times on, and
// decides once at the second: a folder listed sooner never starts a thread,
// nor asks the system how the reads went.
constexpr long sample_after_ns = 1'000'000;
constexpr long decision_after_ns = 2'000'000;
// A walk that took that long for fewer entries than this was only
// interrupted, or is so slow that a few more entries don't matter.
constexpr long fewest_entries_sampled = 8;
// The clock is read every this many entries (a power of two).
constexpr long look_every = 4;
// Where status reads wait (the calling thread gives up the processor at
// least once every this many entries), this many helpers keep a slow file
// system busy, whatever the number of processors.
constexpr long entries_per_wait = 4;
constexpr unsigned helpers_when_reads_wait = 8;
// Where they compute, a processor each, beside the writer's own; more than
// this gain nothing, the writer's share being the limit.
constexpr unsigned most_helpers_when_reads_compute = 3;

constexpr unsigned ring_slots = 256;
// Names are refilled in batches, so that idle helpers are woken once per
// batch rather than once per entry.
constexpr unsigned refill_below = ring_slots / 2;

// The helpers only call fstatat: a small stack does. The sanitizers' own
// work on a thread's stack needs more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t helper_stack = 1 << 20;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr std::size_t helper_stack = 1 << 20;
#else
constexpr std::size_t helper_stack = 64 << 10;
#endif
#else
constexpr std::size_t helper_stack = 64 << 10;
#endif

long elapsed_ns(const struct timespec &since) noexcept {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1'000'000'000L + (now.tv_nsec - since.tv_nsec);
}

long voluntary_waits() noexcept {
    struct rusage usage;
    return getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_nvcsw : 0;
}

unsigned spare_processors() noexcept {
    cpu_set_t processors;
    if (sched_getaffinity(0, sizeof processors, &processors) != 0)
        return 0;
    return static_cast<unsigned>(std::max(CPU_COUNT(&processors) - 1, 0));
}

// One entry in flight: its name, then its status or the errno of reading it.
struct ring_slot {
    // The entry's number + 1 once its status is in, as a 32-bit word that
    // can be waited on; slots are reused long before it wraps.
    std::atomic<std::uint32_t> ready;
    int error;
    struct stat status;
    char name[NAME_MAX + 1];
};

struct read_ahead_ring {
    int descriptor;
    alignas(64) std::atomic<long> named;            // entries whose names are in
    alignas(64) std::atomic<long> claimed;          // entries a thread has taken
    alignas(64) std::atomic<std::uint32_t> wakeups; // helpers sleep on it
    std::atomic<unsigned> idle_helpers;
    std::atomic<bool> done;
    std::atomic<long> writer_waits_for; // the entry the writer sleeps on, or -1
    ring_slot slots[ring_slots];
};

void read_into_slot(read_ahead_ring &ring, long entry) noexcept {
    ring_slot &slot = ring.slots[entry % ring_slots];
    slot.error = read_status(ring.descriptor, slot.name, slot.status);
    slot.ready.store(static_cast<std::uint32_t>(entry + 1));
    if (ring.writer_waits_for.load() == entry)
        slot.ready.notify_one();
}

// Claims the oldest entry no thread has claimed and reads its status. False
// when every named entry has been claimed.
bool read_one_ahead(read_ahead_ring &ring) noexcept {
    long entry = ring.claimed.load(std::memory_order_relaxed);
    while (entry < ring.named.load(std::memory_order_acquire)) {
        if (ring.claimed.compare_exchange_weak(entry, entry + 1,
                                               std::memory_order_acq_rel)) {
            read_into_slot(ring, entry);
            return true;
        }
    }
    return false;
}

void *help(void *argument) noexcept {
    read_ahead_ring &ring = *static_cast<read_ahead_ring *>(argument);
    for (;;) {
        const std::uint32_t wakeups = ring.wakeups.load();
        if (read_one_ahead(ring))
            continue;
        if (ring.done.load())
            return nullptr;
        ring.idle_helpers.fetch_add(1);
        ring.wakeups.wait(wakeups);
        ring.idle_helpers.fetch_sub(1);
    }
}

void wake_helpers(read_ahead_ring &ring) noexcept {
    ring.wakeups.fetch_add(1);
    if (ring.idle_helpers.load() > 0)
        ring.wakeups.notify_all();
}

// The helper threads of one walk. Whatever way the walk ends, they are told
// to stop and joined, and the calling thread's cancellation state is given
// back: a cancelled caller would leave them reading freed memory, so it
// can't be cancelled while they run.
struct helper_crew {
    read_ahead_ring *ring;
    pthread_t threads[helpers_when_reads_wait];
    unsigned started;
    int cancel_state;
};

struct crew_stopper {
    void operator()(helper_crew *crew) const noexcept {
        crew->ring->done.store(true);
        wake_helpers(*crew->ring);
        for (unsigned i = 0; i < crew->started; ++i)
            pthread_join(crew->threads[i], nullptr);
        pthread_setcancelstate(crew->cancel_state, nullptr);
    }
};
using running_crew = std::unique_ptr<helper_crew, crew_stopper>;

// Starts up to `count` helpers: with every signal blocked, so that signals
// go to the caller's threads, and small stacks. As many as the system gives.
void start_helpers(helper_crew &crew, unsigned count) noexcept {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return;
    pthread_attr_setstacksize(&attributes, helper_stack);
    sigset_t every_signal, caller_mask;
    sigfillset(&every_signal);
    pthread_sigmask(SIG_SETMASK, &every_signal, &caller_mask);
    while (crew.started < count &&
           pthread_create(&crew.threads[crew.started], &attributes, help, crew.ring) == 0)
        ++crew.started;
    pthread_sigmask(SIG_SETMASK, &caller_mask, nullptr);
    pthread_attr_destroy(&attributes);
}

// Puts names in until the ring is full or the folder ends. False at the end.
bool refill(folder_walk &walk, read_ahead_ring &ring, long &named,
            long written) noexcept {
    const long before = named;
    bool more = true;
    while (named - written < ring_slots) {
        const char *name = next_name(walk);
        if (!name) {
            more = false;
            break;
        }
        std::strcpy(ring.slots[named % ring_slots].name, name);
        ++named;
    }
    if (named != before) {
        ring.named.store(named, std::memory_order_release);
        wake_helpers(ring);
    }
    return more;
}

// Waits until the status of `entry` is in, reading others meanwhile.
void await_status(read_ahead_ring &ring, long entry) noexcept {
    ring_slot &slot = ring.slots[entry % ring_slots];
    const auto ready = static_cast<std::uint32_t>(entry + 1);
    while (slot.ready.load(std::memory_order_acquire) != ready) {
        if (read_one_ahead(ring))
            continue;
        ring.writer_waits_for.store(entry);
        const std::uint32_t seen = slot.ready.load();
        if (seen != ready)
            slot.ready.wait(seen);
        ring.writer_waits_for.store(-1);
    }
}

} // namespace

read_ahead_pace start_pace() noexcept {
    read_ahead_pace pace{};
    // A forced decision comes after exactly its number of entries.
    pace.look_every_mask = forced_read_ahead.decide_after >= 0 ? 0 : look_every - 1;
    clock_gettime(CLOCK_MONOTONIC, &pace.start);
    return pace;
}

unsigned decide_read_ahead(read_ahead_pace &pace, long listed) noexcept {
    if (forced_read_ahead.decide_after >= 0) {
        if (listed < forced_read_ahead.decide_after)
            return 0;
        pace.decided = true;
        if (forced_read_ahead.helpers >= 0)
            return std::min(static_cast<unsigned>(forced_read_ahead.helpers),
                            helpers_when_reads_wait);
    } else {
        const long elapsed = elapsed_ns(pace.start);
        if (!pace.sampled && elapsed >= sample_after_ns &&
            listed >= fewest_entries_sampled) {
            pace.sampled = true;
            pace.listed_at_sample = listed;
            pace.waits_at_sample = voluntary_waits();
        }
        if (!pace.sampled || elapsed < decision_after_ns)
            return 0;
        pace.decided = true;
    }
    // Status reads that wait put the thread to sleep: while they did, one
    // entry in a few cost a voluntary context switch or more.
    if (pace.sampled && (voluntary_waits() - pace.waits_at_sample) * entries_per_wait >=
                            listed - pace.listed_at_sample)
        return helpers_when_reads_wait;
    return std::min(spare_processors(), most_helpers_when_reads_compute);
}

bool list_rest_ahead(folder_walk &walk, unsigned helpers) noexcept {
    std::unique_ptr<read_ahead_ring> ring(new (std::nothrow) read_ahead_ring{});
    if (!ring)
        return false;
    ring->descriptor = walk.descriptor;
    ring->writer_waits_for.store(-1);
    helper_crew crew{ring.get(), {}, 0, PTHREAD_CANCEL_ENABLE};
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &crew.cancel_state);
    start_helpers(crew, helpers);
    running_crew running(&crew); // stops and joins them, and gives cancellation back
    if (crew.started == 0)
        return false;

    long named = 0;
    bool more = true;
    for (long written = 0;; ++written) {
        if (more && named - written < refill_below)
            more = refill(walk, *ring, named, written);
        if (written == named)
            return true;
        await_status(*ring, written);
        const ring_slot &slot = ring->slots[written % ring_slots];
        list_entry(walk, slot.name, slot.error, slot.status);
    }
}
