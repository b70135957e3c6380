// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

#include <cstdint>
#include <ctime>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "listing.h"

namespace {

// What the C library makes of `seconds`, or "<left out>".
std::string library_stamp(time_t seconds) {
    struct tm utc;
    char text[20];
    if (!gmtime_r(&seconds, &utc) ||
        std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc) == 0)
        return "<left out>";
    return text;
}

std::string stamp(time_t seconds) {
    char text[20];
    return utc_stamp(seconds, text) ? text : "<left out>";
}

// The last second gmtime_r can break down: the break-down is possible up
// to some point and never after it.
time_t last_broken_down() {
    time_t low = 0, high = std::numeric_limits<time_t>::max();
    struct tm utc;
    while (low < high) {
        const time_t middle = low + (high - low) / 2 + 1;
        if (gmtime_r(&middle, &utc))
            low = middle;
        else
            high = middle - 1;
    }
    return low;
}

} // namespace

TEST(Stamp, SameAsTheCLibraryAtTheEdges) {
    const time_t last = last_broken_down();
    const time_t edges[] = {0,
                            -1,
                            1,
                            59,
                            60,
                            3599,
                            3600,
                            86399,
                            86400,
                            951782400,   // 2000-02-29
                            951868799,   // 2000-02-29T23:59:59
                            1709164800,  // 2024-02-29
                            4107456000,  // 2100-02-28, no leap day follows
                            4107542400,  // 2100-03-01
                            -2203891200, // 1900-03-01
                            1704164645,  // 2024-01-02T03:04:05
                            253402300799,
                            253402300800,
                            -62167219200,
                            -62167219201,
                            last,
                            last + 1,
                            std::numeric_limits<time_t>::min(),
                            std::numeric_limits<time_t>::max()};
    for (const time_t seconds : edges)
        EXPECT_EQ(stamp(seconds), library_stamp(seconds)) << seconds;
    EXPECT_EQ(stamp(253402300799), "99991231T235959Z");
    EXPECT_EQ(stamp(1704164645), "20240102T030405Z");
}

TEST(Stamp, SameAsTheCLibraryForRandomTimes) {
    std::mt19937_64 random(20261208);
    std::uniform_int_distribution<time_t> common(0, 253402300799),
        any(std::numeric_limits<time_t>::min(), std::numeric_limits<time_t>::max());
    int differing = 0;
    for (int i = 0; i < 300000; ++i) {
        const time_t seconds = i % 10 == 0 ? any(random) : common(random);
        if (stamp(seconds) != library_stamp(seconds) && ++differing <= 5)
            ADD_FAILURE() << seconds << ": " << stamp(seconds) << " against "
                          << library_stamp(seconds);
    }
    EXPECT_EQ(differing, 0);
}
