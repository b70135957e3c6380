// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

#include <cstdint>
#include <limits>
#include <string>

#include <fcntl.h>
#include <unistd.h>

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

// A line-buffered stream (a terminal's) gets each line as it ends, an
// unbuffered one each piece as it is put: pieces never wait in the buffer.
TEST(Writer, StreamsWithoutFullBufferingGetEachPieceAtOnce) {
    for (const int mode : {_IOLBF, _IONBF}) {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        ASSERT_EQ(fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
        std::FILE *out = fdopen(ends[1], "w");
        static char buffer[256];
        std::setvbuf(out, mode == _IONBF ? nullptr : buffer, mode, sizeof buffer);
        put_text(out, "  <file name=\"a\" />\n");
        put_text(out, mode == _IONBF ? "  <fi" : "");
        char got[64] = {};
        const ssize_t length = read(ends[0], got, sizeof got);
        EXPECT_EQ(std::string(got, length > 0 ? static_cast<std::size_t>(length) : 0),
                  mode == _IONBF ? "  <file name=\"a\" />\n  <fi"
                                 : "  <file name=\"a\" />\n")
            << (mode == _IONBF ? "unbuffered" : "line buffered");
        std::fclose(out);
        close(ends[0]);
    }
}
