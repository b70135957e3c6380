// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

#include "helper_thread.h"

#include <sys/prctl.h>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t sanitizers_stack_factor = 16;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr std::size_t sanitizers_stack_factor = 16;
#else
constexpr std::size_t sanitizers_stack_factor = 1;
#endif
#else
constexpr std::size_t sanitizers_stack_factor = 1;
#endif

} // namespace

void starter_closer::operator()(thread_starter *starter) const noexcept {
    pthread_sigmask(SIG_SETMASK, &starter->caller_mask, nullptr);
    pthread_attr_destroy(&starter->attributes);
}

open_starter open_thread_starter(thread_starter &starter, std::size_t stack) noexcept {
    if (pthread_attr_init(&starter.attributes) != 0)
        return nullptr;
    pthread_attr_setstacksize(&starter.attributes, stack * sanitizers_stack_factor);
    sigset_t every_signal;
    sigfillset(&every_signal);
    pthread_sigmask(SIG_SETMASK, &every_signal, &starter.caller_mask);
    return open_starter(&starter);
}

bool start_thread(thread_starter &starter, pthread_t &thread, void *(*body)(void *),
                  void *argument) noexcept {
    return pthread_create(&thread, &starter.attributes, body, argument) == 0;
}

void name_this_thread(const char *name) noexcept {
    prctl(PR_SET_NAME, name, 0, 0, 0);
}
