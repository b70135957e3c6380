// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Sleeping until a 32-bit word changes, and waking those that sleep on it,
// through the kernel's futex: what std::atomic's wait() and notify do, but
// without the C++ runtime, which the library does without.
#ifndef KELVANE_FUTEX_H
#define KELVANE_FUTEX_H

#include <atomic>
#include <climits>
#include <cstdint>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "a 32-bit atomic is the word the kernel waits on");

inline std::uint32_t *futex_word(std::atomic<std::uint32_t> &word) noexcept {
    return reinterpret_cast<std::uint32_t *>(&word);
}

// Sleeps while `word` holds `value`. It may return early (a signal, a
// wake-up meant for another value): callers check again.
inline void wait_while(std::atomic<std::uint32_t> &word, std::uint32_t value) noexcept {
    syscall(SYS_futex, futex_word(word), FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
}

inline void wake_one(std::atomic<std::uint32_t> &word) noexcept {
    syscall(SYS_futex, futex_word(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

inline void wake_all(std::atomic<std::uint32_t> &word) noexcept {
    syscall(SYS_futex, futex_word(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

#endif // KELVANE_FUTEX_H
