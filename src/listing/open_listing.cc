// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// A listing its caller pulls piece by piece: an OBEX server answers a GET
// one response packet at a time, each when the remote device asks for the
// next. The document is the one kelvane_at() writes, made by the same
// parts (document.h) into a stream of the listing's own whose bytes go
// into the caller's buffer; what a part writes past the buffer's end waits
// in the listing for the next read. The walk stops where a piece ends and
// goes on at the next read, its helpers reading statuses ahead meanwhile.
//
// A non-blocking listing never makes its caller wait on the file system: a
// thread of its own, the feeder, pulls the document into a ring of bytes,
// and kelvane_read() only takes what is there. The feeder is taken from the
// process's budget of waiting helpers; it stops when the ring is full and
// its caller stays away, so that listings left open hold no thread, and is
// started again when the caller makes room.
#include "kelvane.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <stdio_ext.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "document.h"
#include "heap.h"
#include "helper_thread.h"

namespace {

// The stream's own buffer: the parts of the document are put into it
// without a call into the C library, and it is emptied into the caller's
// buffer at the end of each read.
constexpr std::size_t stream_buffer_size = 4096;

// A non-blocking listing's ring of bytes made ahead of its caller. The
// feeder puts them in a piece at a time: a small one when the caller has
// taken everything, so that it waits no longer than needed, a larger one
// otherwise, so that a caller that keeps up is not woken for every few
// entries. It stops when less than a piece is free, and goes on once half
// the ring is, or ends after lingering this long with the caller away.
constexpr std::size_t ring_bytes = 64 * 1024;
constexpr std::size_t feed_piece = 4096;
constexpr std::size_t feed_piece_ahead = 16 * 1024;
constexpr long feeder_linger_ns = 50'000'000;

// The feeder makes the whole document (stdio, the walk, helpers of its
// own): a stack of a fair size.
constexpr std::size_t feeder_stack = 256 << 10;

// A feeder is started (running), waits for room (lingering), or has
// returned and waits to be joined (exited); none once joined, or before any.
enum class feeder_state { none, running, lingering, exited };

// What a non-blocking listing shares between its caller and its feeder,
// under `lock`.
struct listing_feed {
    pthread_mutex_t lock;
    pthread_cond_t room; // the feeder waits on it for the caller to take bytes
    int ready;           // eventfd: readable while bytes are in or the end is
    bool signalled;      // `ready` holds a count
    feeder_state feeder;
    pthread_t thread; // the feeder, unless none
    bool ended;   // the whole document is in the ring
    bool closing; // the caller closes the listing
    bool starved; // waits, in the starved list, for a helper to be given back
    bool no_thread; // no feeder could be started: the caller pulls itself
    kelvane_listing *next_starved;
    locale_t locale; // the caller's, where escaping names depends on it
    std::size_t head, count;
    char bytes[ring_bytes];
};

} // namespace

struct kelvane_listing {
    document doc; // writes to `stream`
    heap_text path;
    std::FILE *stream;
    // The piece being read: where the stream's bytes go.
    char *target;
    std::size_t target_size, target_filled;
    // Bytes made past the end of the last piece, read first next time.
    heap_text spill;
    std::size_t spill_start, spill_count, spill_capacity;
    int failure; // a failure that spoiled the document, negated, or 0
    std::atomic<bool> stopping;
    listing_feed *feed; // non-blocking listings only
    char stream_buffer[stream_buffer_size];
};

namespace {

// --- The stream behind the document ----------------------------------------

bool keep_in_spill(kelvane_listing &listing, const char *bytes, std::size_t size) noexcept {
    if (listing.spill_start > 0 && listing.spill_count > 0)
        std::memmove(listing.spill.get(), listing.spill.get() + listing.spill_start,
                     listing.spill_count);
    listing.spill_start = 0;
    const std::size_t needed = listing.spill_count + size;
    if (needed > listing.spill_capacity) {
        const std::size_t capacity = std::max(needed, 2 * listing.spill_capacity);
        void *grown = std::realloc(listing.spill.get(), capacity);
        if (!grown)
            return false;
        listing.spill.release();
        listing.spill.reset(static_cast<char *>(grown));
        listing.spill_capacity = capacity;
    }
    std::memcpy(listing.spill.get() + listing.spill_count, bytes, size);
    listing.spill_count += size;
    return true;
}

// The stream's write function: the bytes go into the caller's buffer while
// it has room, and the rest waits.
ssize_t take_written(void *cookie, const char *bytes, std::size_t size) noexcept {
    kelvane_listing &listing = *static_cast<kelvane_listing *>(cookie);
    const std::size_t now = std::min(size, listing.target_size - listing.target_filled);
    if (now > 0) {
        std::memcpy(listing.target + listing.target_filled, bytes, now);
        listing.target_filled += now;
    }
    if (now < size && !keep_in_spill(listing, bytes + now, size - now) &&
        listing.failure == 0)
        listing.failure = -ENOMEM;
    return static_cast<ssize_t>(size);
}

std::size_t take_from_spill(kelvane_listing &listing, char *buffer,
                            std::size_t size) noexcept {
    const std::size_t taken = std::min(size, listing.spill_count);
    if (taken == 0)
        return 0;
    std::memcpy(buffer, listing.spill.get() + listing.spill_start, taken);
    listing.spill_start += taken;
    listing.spill_count -= taken;
    return taken;
}

bool document_read_whole(const kelvane_listing &listing) noexcept {
    return listing.doc.next == document_part::ended && listing.spill_count == 0;
}

// Fills `buffer` with the next bytes of the document, unless it ends first
// or the listing is being closed: the count. The parts are written until
// the bytes made reach the buffer's size; what the last one made beyond it
// is kept for the next read.
std::size_t pull(kelvane_listing &listing, char *buffer, std::size_t size) noexcept {
    std::size_t filled = take_from_spill(listing, buffer, size);
    if (filled == size || listing.doc.next == document_part::ended)
        return filled;
    listing.target = buffer;
    listing.target_size = size;
    listing.target_filled = filled;
    folder_walk &walk = listing.doc.walk;
    resume_pace(walk.pace);
    while (listing.target_filled + __fpending(listing.stream) < size &&
           !listing.stopping.load(std::memory_order_relaxed) &&
           write_next_part(listing.doc)) {
    }
    pause_pace(walk.pace);
    std::fflush(listing.stream);
    filled = listing.target_filled;
    listing.target = nullptr;
    listing.target_size = listing.target_filled = 0;
    return filled;
}

// --- Non-blocking listings: the feeder -----------------------------------------

struct lock_holder {
    pthread_mutex_t *mutex;
    explicit lock_holder(pthread_mutex_t &m) noexcept : mutex(&m) {
        pthread_mutex_lock(mutex);
    }
    ~lock_holder() { pthread_mutex_unlock(mutex); }
    lock_holder(const lock_holder &) = delete;
    lock_holder &operator=(const lock_holder &) = delete;
};

// Makes the descriptor readable. The feed's lock is held.
void signal_ready(listing_feed &feed) noexcept {
    if (feed.signalled)
        return;
    const std::uint64_t one = 1;
    feed.signalled = write(feed.ready, &one, sizeof one) == sizeof one;
}

// Makes it unreadable again, once a read found nothing to read: a caller
// that keeps up is not made to poll, nor the feeder to signal, for every
// piece. The feed's lock is held.
void clear_ready(listing_feed &feed) noexcept {
    if (!feed.signalled)
        return;
    std::uint64_t count;
    if (read(feed.ready, &count, sizeof count) == sizeof count)
        feed.signalled = false;
}

bool linger_until(pthread_cond_t &condition, pthread_mutex_t &mutex,
                  const struct timespec &deadline) noexcept {
    return pthread_cond_timedwait(&condition, &mutex, &deadline) != ETIMEDOUT;
}

void *feed_listing(void *argument) noexcept {
    name_this_thread("kelvane-feed");
    kelvane_listing &listing = *static_cast<kelvane_listing *>(argument);
    listing_feed &feed = *listing.feed;
    if (feed.locale)
        uselocale(feed.locale);
    {
        lock_holder held(feed.lock);
        for (;;) {
            // The ring is full: wait a while for the caller to take bytes,
            // then leave the listing to a feeder started later.
            bool gone_away = false;
            if (!feed.closing && ring_bytes - feed.count < feed_piece) {
                feed.feeder = feeder_state::lingering;
                struct timespec deadline;
                clock_gettime(CLOCK_MONOTONIC, &deadline);
                deadline.tv_nsec += feeder_linger_ns;
                deadline.tv_sec += deadline.tv_nsec / 1'000'000'000L;
                deadline.tv_nsec %= 1'000'000'000L;
                while (!feed.closing && ring_bytes - feed.count < feed_piece && !gone_away)
                    gone_away = !linger_until(feed.room, feed.lock, deadline);
                gone_away = gone_away && ring_bytes - feed.count < feed_piece;
            }
            if (feed.closing || gone_away)
                break;
            feed.feeder = feeder_state::running;
            const std::size_t tail = (feed.head + feed.count) % ring_bytes;
            const std::size_t span =
                std::min({ring_bytes - tail, ring_bytes - feed.count,
                          feed.count == 0 ? feed_piece : feed_piece_ahead});
            pthread_mutex_unlock(&feed.lock);
            // Only the feeder writes the free part of the ring, and the
            // caller reads only what has been counted in.
            const std::size_t made = pull(listing, feed.bytes + tail, span);
            pthread_mutex_lock(&feed.lock);
            feed.count += made;
            feed.ended = document_read_whole(listing) || listing.failure != 0;
            if (made > 0 || feed.ended)
                signal_ready(feed);
            if (feed.ended)
                break;
        }
        feed.feeder = feeder_state::exited;
    }
    give_back_waiting_helper();
    return nullptr;
}

// Listings whose feeder could not be had, first come first served.
pthread_mutex_t starved_lock = PTHREAD_MUTEX_INITIALIZER;
kelvane_listing *first_starved = nullptr;
std::atomic<int> starved_count{0};

void add_starved(kelvane_listing &listing) noexcept {
    lock_holder held(starved_lock);
    if (listing.feed->starved)
        return;
    listing.feed->starved = true;
    listing.feed->next_starved = nullptr;
    kelvane_listing **last = &first_starved;
    while (*last)
        last = &(*last)->feed->next_starved;
    *last = &listing;
    starved_count.fetch_add(1);
}

void remove_starved(kelvane_listing &listing) noexcept {
    lock_holder held(starved_lock);
    if (!listing.feed->starved)
        return;
    for (kelvane_listing **at = &first_starved; *at; at = &(*at)->feed->next_starved)
        if (*at == &listing) {
            *at = listing.feed->next_starved;
            break;
        }
    listing.feed->starved = false;
    starved_count.fetch_sub(1);
}

// Starts a feeder for the listing, from the budget; where the budget is spent, the listing waits in the starved list
// until one is given back. Where the system starts no thread, the listing
// is marked to be pulled by its caller, and the descriptor made readable
// for that: the document is never lost for want of a thread.
void start_feeder(kelvane_listing &listing) noexcept {
    listing_feed &feed = *listing.feed;
    // An exited feeder changes nothing more: only the caller goes on.
    if (feed.feeder == feeder_state::exited) {
        pthread_join(feed.thread, nullptr);
        lock_holder held(feed.lock);
        feed.feeder = feeder_state::none;
    }
    if (!take_waiting_helper()) {
        add_starved(listing);
        // One given back meanwhile would not have woken it.
        if (!take_waiting_helper())
            return;
        remove_starved(listing);
    }
    bool started = false;
    thread_starter starter;
    if (const open_starter open = open_thread_starter(starter, feeder_stack)) {
        {
            lock_holder held(feed.lock);
            feed.feeder = feeder_state::running;
            feed.no_thread = false;
        }
        started = start_thread(starter, feed.thread, feed_listing, &listing);
    }
    if (started)
        return;
    {
        lock_holder held(feed.lock);
        feed.feeder = feeder_state::none;
        feed.no_thread = true;
        signal_ready(feed);
    }
    give_back_waiting_helper();
}

ssize_t read_fed(kelvane_listing &listing, char *buffer, std::size_t size) noexcept {
    listing_feed &feed = *listing.feed;
    std::size_t taken = 0;
    bool needs_feeder = false;
    bool at_end = false;
    {
        lock_holder held(feed.lock);
        while (taken < size && feed.count > 0) {
            const std::size_t run =
                std::min({size - taken, feed.count, ring_bytes - feed.head});
            std::memcpy(buffer + taken, feed.bytes + feed.head, run);
            taken += run;
            feed.head = (feed.head + run) % ring_bytes;
            feed.count -= run;
        }
        at_end = feed.ended && feed.count == 0;
        if (taken == 0 && !feed.ended)
            clear_ready(feed);
        const bool half_free = ring_bytes - feed.count >= ring_bytes / 2;
        if (!feed.ended && half_free) {
            if (feed.feeder == feeder_state::lingering)
                pthread_cond_signal(&feed.room);
            needs_feeder =
                feed.feeder == feeder_state::none || feed.feeder == feeder_state::exited;
        }
    }
    if (needs_feeder)
        start_feeder(listing);
    if (taken > 0)
        return static_cast<ssize_t>(taken);
    if (at_end)
        return listing.failure;
    if (feed.no_thread) { // nothing in the ring: the caller's own turn
        const std::size_t made = pull(listing, buffer, size);
        if (listing.failure != 0)
            return listing.failure;
        return static_cast<ssize_t>(made);
    }
    return -EAGAIN;
}

// The feed of a non-blocking listing, and its first feeder. 0, or the
// negated errno.
int open_feed(kelvane_listing &listing) noexcept {
    listing_feed *feed = new_on_heap<listing_feed>();
    if (!feed)
        return -ENOMEM;
    listing.feed = feed;
    feed->ready = -1;
    pthread_mutex_init(&feed->lock, nullptr);
    pthread_condattr_t monotonic;
    pthread_condattr_init(&monotonic);
    pthread_condattr_setclock(&monotonic, CLOCK_MONOTONIC);
    pthread_cond_init(&feed->room, &monotonic);
    pthread_condattr_destroy(&monotonic);
    feed->ready = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (feed->ready < 0)
        return -errno;
    // Names in a character set of the locale's own are read through the
    // C library, in the locale of the thread that reads them.
    if (listing.doc.listing.codeset == name_codeset::other) {
        feed->locale = duplocale(uselocale(static_cast<locale_t>(0)));
        if (!feed->locale)
            return -errno;
    }
    start_feeder(listing);
    return 0;
}

void close_feed(kelvane_listing &listing) noexcept {
    listing_feed *feed = listing.feed;
    if (!feed)
        return;
    bool started;
    {
        lock_holder held(feed->lock);
        feed->closing = true;
        pthread_cond_signal(&feed->room);
        started = feed->feeder != feeder_state::none;
    }
    listing.stopping.store(true);
    if (started)
        pthread_join(feed->thread, nullptr);
    remove_starved(listing);
    if (feed->ready >= 0)
        close(feed->ready);
    if (feed->locale)
        freelocale(feed->locale);
    pthread_cond_destroy(&feed->room);
    pthread_mutex_destroy(&feed->lock);
    delete_from_heap(feed);
    listing.feed = nullptr;
}

// What kelvane_at() returns for what was produced.
int result_so_far(const kelvane_listing &listing) noexcept {
    if (listing.failure != 0)
        return listing.failure;
    const document &doc = listing.doc;
    if (doc.next != document_part::body)
        return doc.result;
    return doc.single_file ? 0 : walk_result(doc.walk);
}

// Releases what the listing holds, its threads joined first.
void release(kelvane_listing *listing) noexcept {
    close_feed(*listing);
    listing->doc.walk.ahead.reset();
    listing->doc.walk.folder.reset();
    if (listing->stream) {
        listing->target = nullptr;
        std::fclose(listing->stream);
    }
    delete_from_heap(listing);
}

struct listing_releaser {
    void operator()(kelvane_listing *listing) const noexcept { release(listing); }
};
using listing_holder = std::unique_ptr<kelvane_listing, listing_releaser>;

// A descriptor closed on every way out, unless handed on.
struct descriptor_holder {
    int descriptor;
    ~descriptor_holder() {
        if (descriptor >= 0)
            close(descriptor);
    }
    int hand_on() noexcept { return std::exchange(descriptor, -1); }
};

} // namespace

void wake_a_starved_listing() noexcept {
    if (starved_count.load() == 0)
        return;
    lock_holder held(starved_lock);
    kelvane_listing *listing = first_starved;
    if (!listing)
        return;
    listing_feed &feed = *listing->feed;
    first_starved = feed.next_starved;
    feed.starved = false;
    starved_count.fetch_sub(1);
    lock_holder feed_held(feed.lock);
    signal_ready(feed);
}

extern "C" __attribute__((visibility("default"))) int
kelvane_open(kelvane_listing **opened, int root, const char *path, unsigned int flags) {
    if (!opened)
        return -EINVAL;
    *opened = nullptr;
    if (!path || path_climbs_out(path))
        return -EINVAL;
    const listing_root where{root, (flags & STAY_BENEATH) != 0};
    if (const int refused = refusal_of(where, path))
        return refused;
    const listed_path found = find_listed(where, path);
    if (found.error != 0)
        return found.error;
    descriptor_holder folder{found.folder};

    listing_holder listing(new_on_heap<kelvane_listing>());
    if (!listing)
        return -ENOMEM;
    listing->path.reset(strdup(path));
    if (!listing->path)
        return -ENOMEM;
    const cookie_io_functions_t functions = {nullptr, take_written, nullptr, nullptr};
    listing->stream = fopencookie(listing.get(), "w", functions);
    if (!listing->stream)
        return -ENOMEM;
    std::setvbuf(listing->stream, listing->stream_buffer, _IOFBF, stream_buffer_size);
    __fsetlocking(listing->stream, FSETLOCKING_BYCALLER);

    document &doc = listing->doc;
    doc.listing = start_listing(flags, where);
    // The frame names the caller's locale now; it waits in the stream.
    open_document(doc, listing->stream, -1, listing->path.get(),
                  {0, true, folder.hand_on()}, 0);
    if (doc.result != 0)
        return doc.result;
    if (flags & KELVANE_NONBLOCK)
        if (const int error = open_feed(*listing))
            return error;
    *opened = listing.release();
    return 0;
}

extern "C" __attribute__((visibility("default"))) ssize_t
kelvane_read(kelvane_listing *listing, void *buffer, size_t size) {
    if (!listing || !buffer || size == 0)
        return -EINVAL;
    size = std::min(size, static_cast<std::size_t>(SSIZE_MAX));
    char *bytes = static_cast<char *>(buffer);
    if (listing->feed)
        return read_fed(*listing, bytes, size);
    if (listing->failure != 0)
        return listing->failure;
    const std::size_t filled = pull(*listing, bytes, size);
    if (listing->failure != 0)
        return listing->failure;
    return static_cast<ssize_t>(filled);
}

extern "C" __attribute__((visibility("default"))) int
kelvane_fd(const kelvane_listing *listing) {
    return listing && listing->feed ? listing->feed->ready : -1;
}

extern "C" __attribute__((visibility("default"))) int
kelvane_close(kelvane_listing *listing) {
    if (!listing)
        return 0;
    close_feed(*listing);
    const int result = result_so_far(*listing);
    release(listing);
    return result;
}
