// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

#include "writer.h"

#include <charconv>

namespace {

template <typename Number> void put_number(std::FILE *out, Number value) noexcept {
    char digits[24]; // 20 digits and a sign at most
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
    put_text(out, std::string_view(digits, static_cast<std::size_t>(end.ptr - digits)));
}

} // namespace

void put_decimal(std::FILE *out, std::int64_t value) noexcept {
    put_number(out, value);
}
void put_decimal(std::FILE *out, std::uint64_t value) noexcept {
    put_number(out, value);
}
