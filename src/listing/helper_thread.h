// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Threads the listing starts for itself: the helpers that read statuses
// ahead (read_ahead.cc) and a non-blocking listing's feeder
// (open_listing.cc). They start with every signal blocked, so that signals
// go to the caller's threads, and with stacks of the size their work
// needs, larger under the sanitizers, whose own work on a thread's stack
// needs more.
#ifndef KELVANE_HELPER_THREAD_H
#define KELVANE_HELPER_THREAD_H

#include <cstddef>
#include <memory>

#include <pthread.h>
#include <signal.h>

struct thread_starter {
    pthread_attr_t attributes;
    sigset_t caller_mask; // restored when the starter closes
};

// Blocks every signal in the calling thread until the starter closes, so
// that the threads it starts inherit that mask, and gives them stacks of
// `stack` bytes. Null when the attributes can't be made.
struct starter_closer {
    void operator()(thread_starter *starter) const noexcept;
};
using open_starter = std::unique_ptr<thread_starter, starter_closer>;
open_starter open_thread_starter(thread_starter &starter, std::size_t stack) noexcept;

// Starts `body(argument)` on a thread of its own. False when the system
// starts no more threads.
bool start_thread(thread_starter &starter, pthread_t &thread, void *(*body)(void *),
                  void *argument) noexcept;

// Names the calling thread, as ps -L, top -H and debuggers show it. The
// listing's threads are told from the caller's by their names: "kelvane-"
// and what they do.
void name_this_thread(const char *name) noexcept;

#endif // KELVANE_HELPER_THREAD_H
