// Time stamps such as 20240102T030405Z. Every entry of a listing carries
// three, so the common range is worked out here, without the C library's
// time-zone machinery; the rest goes through gmtime_r and strftime, which
// give the same text.
#include <cstdint>

#include "listing.h"

namespace {

// The last second of 9999-12-31, the end of four-digit years.
constexpr std::int64_t last_four_digit_second = 253402300799;

// The civil date of a count of days since 1970-01-01 (a day count of 0 or
// more), by eras of 400 years, which repeat exactly.
struct civil_date {
    std::int64_t year;
    unsigned month, day;
};

civil_date date_of(std::int64_t days) noexcept {
    days += 719468; // from 0000-03-01, so that leap days end the year
    const std::int64_t era = days / 146097;
    const std::int64_t day_of_era = days - era * 146097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t shifted_month = (5 * day_of_year + 2) / 153; // March is 0
    const unsigned day =
        static_cast<unsigned>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    const unsigned month =
        static_cast<unsigned>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    const std::int64_t year = year_of_era + era * 400 + (month <= 2);
    return {year, month, day};
}

void put_digits(char *at, unsigned value, int count) noexcept {
    for (int i = count - 1; i >= 0; --i) {
        at[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

} // namespace

bool utc_stamp(time_t seconds, char (&text)[20]) noexcept {
    if (seconds < 0 || seconds > last_four_digit_second) {
        struct tm utc;
        return gmtime_r(&seconds, &utc) &&
               std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc) != 0;
    }
    const std::int64_t days = seconds / 86400;
    const unsigned second_of_day = static_cast<unsigned>(seconds % 86400);
    const civil_date date = date_of(days);
    put_digits(text, static_cast<unsigned>(date.year), 4);
    put_digits(text + 4, date.month, 2);
    put_digits(text + 6, date.day, 2);
    text[8] = 'T';
    put_digits(text + 9, second_of_day / 3600, 2);
    put_digits(text + 11, second_of_day / 60 % 60, 2);
    put_digits(text + 13, second_of_day % 60, 2);
    text[15] = 'Z';
    text[16] = '\0';
    return true;
}
