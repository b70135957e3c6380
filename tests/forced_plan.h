// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Forcing a way of walking for a test's scope, through the listing's test
// hook (read_ahead.h).
#ifndef KELVANE_TESTS_FORCED_PLAN_H
#define KELVANE_TESTS_FORCED_PLAN_H

#include "read_ahead.h"

// Helpers of a kind after `decide_after` entries, or never (serial), until
// the scope ends; then the plan before.
struct forced_plan {
    read_ahead_plan previous = forced_read_ahead;
    explicit forced_plan(read_ahead_plan plan) { forced_read_ahead = plan; }
    forced_plan(long decide_after, int helpers,
                read_ahead_kind kind = read_ahead_kind::computing)
        : forced_plan(read_ahead_plan{decide_after, helpers, kind}) {}
    ~forced_plan() { forced_read_ahead = previous; }
    forced_plan(const forced_plan &) = delete;
    forced_plan &operator=(const forced_plan &) = delete;
};

#endif
