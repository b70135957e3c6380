// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "fixture.h"
#include "writer.h"

namespace {

std::string put(std::int64_t value) {
    return written_by([&](std::FILE *out) { put_decimal(out, value); });
}

std::string put(std::uint64_t value) {
    return written_by([&](std::FILE *out) { put_decimal(out, value); });
}

} // namespace

TEST(Writer, DecimalsCoverTheWholeRange) {
    EXPECT_EQ(put(std::int64_t{0}), "0");
    EXPECT_EQ(put(std::int64_t{5368709120}), "5368709120");
    EXPECT_EQ(put(std::int64_t{-1}), "-1");
    EXPECT_EQ(put(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(put(std::numeric_limits<std::int64_t>::max()), "9223372036854775807");
    EXPECT_EQ(put(std::uint64_t{4294967294}), "4294967294");
    EXPECT_EQ(put(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
}

TEST(Writer, TextOfAnyLengthArrivesWhole) {
    for (std::size_t length : {0, 1, 31, 32, 33, 4096, 100000}) {
        std::string text(length, 'x');
        for (std::size_t i = 0; i < length; ++i)
            text[i] = static_cast<char>('a' + i % 26);
        EXPECT_EQ(written_by([&](std::FILE *out) { put_text(out, text); }), text)
            << length;
    }
}
