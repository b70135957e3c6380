// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Time stamps such as 20240102T030405Z. Every entry of a listing carries
// three, so the common range is worked out here, without the C library's
// time-zone machinery; the rest goes through gmtime_r and strftime, which
// give the same text.
#include <cstdint>

#include "listing.h"

namespace {

// The last second of 9999-12-31, the end of four-digit years.
constexpr std::int64_t last_four_digit_second = 253402300799;

// The civil date of a count of days since 1970-01-01, for the days of
// four-digit years, by eras of 400 years, which repeat exactly.
struct civil_date {
    std::uint32_t year, month, day;
};

civil_date date_of(std::uint32_t days) noexcept {
    days += 719468; // from 0000-03-01, so that leap days end the year
    const std::uint32_t era = days / 146097;
    const std::uint32_t day_of_era = days - era * 146097;
    const std::uint32_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::uint32_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::uint32_t shifted_month = (5 * day_of_year + 2) / 153; // March is 0
    const std::uint32_t day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    const std::uint32_t month =
        shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    return {year_of_era + era * 400 + (month <= 2), month, day};
}

// Two decimal digits, 00 to 99.
void put_two_digits(char *at, std::uint32_t value) noexcept {
    static constexpr char pairs[] = "00010203040506070809101112131415161718192021222324"
                                    "25262728293031323334353637383940414243444546474849"
                                    "50515253545556575859606162636465666768697071727374"
                                    "75767778798081828384858687888990919293949596979899";
    at[0] = pairs[2 * value];
    at[1] = pairs[2 * value + 1];
}

} // namespace

bool utc_stamp(time_t seconds, char (&text)[20]) noexcept {
    if (seconds < 0 || seconds > last_four_digit_second) {
        struct tm utc;
        return gmtime_r(&seconds, &utc) &&
               std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc) != 0;
    }
    const std::uint64_t whole = static_cast<std::uint64_t>(seconds);
    const std::uint32_t second_of_day = static_cast<std::uint32_t>(whole % 86400);
    const civil_date date = date_of(static_cast<std::uint32_t>(whole / 86400));
    put_two_digits(text, date.year / 100);
    put_two_digits(text + 2, date.year % 100);
    put_two_digits(text + 4, date.month);
    put_two_digits(text + 6, date.day);
    text[8] = 'T';
    put_two_digits(text + 9, second_of_day / 3600);
    put_two_digits(text + 11, second_of_day / 60 % 60);
    put_two_digits(text + 13, second_of_day % 60);
    text[15] = 'Z';
    text[16] = '\0';
    return true;
}
