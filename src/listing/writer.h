// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The few ways a piece of the document reaches the stream. Constant texts
// and names go without format parsing, numbers without the printf
// machinery. The listing holds the stream's lock for the whole document
// (see kelvane()), so pieces are put without taking it again for each one.
#ifndef KELVANE_WRITER_H
#define KELVANE_WRITER_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>

// ThreadSanitizer does not see inside the C library's stream lock: it is
// told that taking the lock orders each document after the previous one.
#if defined(__SANITIZE_THREAD__)
#define KELVANE_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KELVANE_THREAD_SANITIZER 1
#endif
#endif
#ifdef KELVANE_THREAD_SANITIZER
extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);
#endif

inline void note_lock_taken([[maybe_unused]] std::FILE *out) noexcept {
#ifdef KELVANE_THREAD_SANITIZER
    __tsan_acquire(out);
#endif
}

inline void note_lock_given_back([[maybe_unused]] std::FILE *out) noexcept {
#ifdef KELVANE_THREAD_SANITIZER
    __tsan_release(out);
#endif
}

// The stream's lock, held while one document is written:
// the pieces of a document never interleave with other threads' writes to
// the same stream, and are put without locking each time.
struct stream_unlocker {
    void operator()(std::FILE *out) const noexcept {
        note_lock_given_back(out);
        funlockfile(out);
    }
};
using stream_lock = std::unique_ptr<std::FILE, stream_unlocker>;

inline stream_lock lock_stream(std::FILE *out) noexcept {
    flockfile(out);
    note_lock_taken(out);
    return stream_lock(out);
}

// Puts `text` as it is. The caller holds the stream's lock.
inline void put_text(std::FILE *out, std::string_view text) noexcept {
#ifdef __GLIBC__
    // What glibc's own putc_unlocked does, for a whole piece: copy it
    // straight into the stream's buffer when it fits. A stream that is line
    // buffered or unbuffered leaves no room there, so that every write to it
    // goes through the C library and is flushed as it should be.
    if (static_cast<std::size_t>(out->_IO_write_end - out->_IO_write_ptr) >=
        text.size()) {
        out->_IO_write_ptr = std::copy(text.begin(), text.end(), out->_IO_write_ptr);
        return;
    }
#endif
    fwrite_unlocked(text.data(), 1, text.size(), out);
}

// Puts `value` in decimal, with a leading '-' when negative.
void put_decimal(std::FILE *out, std::int64_t value) noexcept;
void put_decimal(std::FILE *out, std::uint64_t value) noexcept;

#endif // KELVANE_WRITER_H
