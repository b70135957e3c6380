// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The few ways a piece of the document reaches the stream. Constant texts
// and names go without format parsing, numbers without the printf
// machinery. The listing holds the stream's lock for the whole document
// (see kelvane()), so short pieces are put byte by byte without taking it
// again for each one.
#ifndef KELVANE_WRITER_H
#define KELVANE_WRITER_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>

// The stream's lock, held while one document is written:
// the pieces of a document never interleave with other threads' writes to
// the same stream, and are put without locking each time.
struct stream_unlocker {
    void operator()(std::FILE *out) const noexcept { funlockfile(out); }
};
using stream_lock = std::unique_ptr<std::FILE, stream_unlocker>;

inline stream_lock lock_stream(std::FILE *out) noexcept {
    flockfile(out);
    return stream_lock(out);
}

// Puts `text` as it is. The caller holds the stream's lock.
inline void put_text(std::FILE *out, std::string_view text) noexcept {
    // Below this length a loop of inline byte stores beats a call to fwrite.
    constexpr std::size_t short_text = 32;
    if (text.size() > short_text) {
        std::fwrite(text.data(), 1, text.size(), out);
        return;
    }
    for (char c : text)
        putc_unlocked(c, out);
}

// Puts `value` in decimal, with a leading '-' when negative.
void put_decimal(std::FILE *out, std::int64_t value) noexcept;
void put_decimal(std::FILE *out, std::uint64_t value) noexcept;

#endif // KELVANE_WRITER_H
