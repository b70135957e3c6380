// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Names come from the file system and may hold any byte but '/' and NUL;
// this is where they are made safe to stand in an XML attribute value, and
// readable by any XML reader whatever the declared character set.
#include <array>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include <langinfo.h>

#include "listing.h"
#include "writer.h"

namespace {

// The reference that stands for an ASCII byte in an attribute value, or
// null when the byte is written as it is.
constexpr const char *reference_for(unsigned char byte) noexcept {
    switch (byte) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    // Written as references so that attribute-value normalisation keeps them.
    case '\t': return "&#9;";
    case '\n': return "&#10;";
    case '\r': return "&#13;";
    default:
        // XML 1.0 cannot carry the other control characters at all, not
        // even as references: they become the replacement character.
        return byte < 0x20 ? "&#xFFFD;" : nullptr;
    }
}

constexpr std::string_view replacement = "&#xFFFD;";

// The bytes that end a run of bytes written as they are: those with a
// reference, and every byte of a character beyond ASCII, which needs
// reading first.
constexpr std::array<bool, 256> stops_run = [] {
    std::array<bool, 256> stops{};
    for (unsigned byte = 0; byte < 256; ++byte)
        stops[byte] = byte >= 0x80 || reference_for(static_cast<unsigned char>(byte));
    return stops;
}();

// Eight bytes at a time, for the long runs most names are: true when any
// byte of `word` stops a run. Each test sets a byte's high bit when the
// byte is of its kind, and only when some byte is.
constexpr std::uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;

constexpr std::uint64_t zero_bytes(std::uint64_t word) noexcept {
    return (word - ones) & ~word & highs;
}

constexpr bool any_stops_run(std::uint64_t word) noexcept {
    const std::uint64_t beyond_ascii = word & highs;
    const std::uint64_t control = (word - ones * 0x20) & ~word & highs;
    const std::uint64_t amp_or_quote =
        zero_bytes(word ^ (ones * '&')) | zero_bytes(word ^ (ones * '"'));
    // '<' (0x3C) and '>' (0x3E) differ only in the bit 0x02.
    const std::uint64_t angle = zero_bytes((word | (ones * 0x02)) ^ (ones * '>'));
    return (beyond_ascii | control | amp_or_quote | angle) != 0;
}

// The word test agrees with the table for every byte, in every place.
static_assert([] {
    for (unsigned byte = 0; byte < 256; ++byte)
        for (unsigned place = 0; place < 8; ++place) {
            const unsigned shift = 8 * place;
            const std::uint64_t others = ones * 'a' & ~(std::uint64_t{0xFF} << shift);
            const std::uint64_t word = others | std::uint64_t{byte} << shift;
            if (any_stops_run(word) != stops_run[byte])
                return false;
        }
    return true;
}());

// The first byte from `at` on that stops a run, or `end`.
const char *next_stop(const char *at, const char *end) noexcept {
    for (std::uint64_t word; end - at >= 8; at += 8) {
        std::memcpy(&word, at, sizeof word);
        if (any_stops_run(word))
            break;
    }
    while (at != end && !stops_run[static_cast<unsigned char>(*at)])
        ++at;
    return at;
}

// The characters XML 1.0 documents may hold.
bool is_xml_character(char32_t c) noexcept {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// One character read from the start of a name, or the ill-formed bytes that
// stand where one should be.
struct character {
    char32_t code_point;
    std::size_t length; // bytes taken from the name, at least one
    bool well_formed;
};

// Reads one UTF-8 character from the start of `text`, whose first byte is
// 0x80 or above. Only the well-formed sequences count: no overlong forms,
// no surrogates, nothing above U+10FFFF. Anything else is taken as its
// maximal ill-formed subpart, the longest start of a well-formed sequence
// there (at least one byte), so that each becomes one replacement character
// as Unicode recommends.
character read_utf8(std::string_view text) noexcept {
    const unsigned char lead = static_cast<unsigned char>(text[0]);
    std::size_t length;
    char32_t code_point;
    unsigned char low = 0x80, high = 0xBF; // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code_point = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0; // overlong below
        if (lead == 0xED)
            high = 0x9F; // surrogates above
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code_point = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90; // overlong below
        if (lead == 0xF4)
            high = 0x8F; // beyond U+10FFFF above
    } else {
        return {0, 1, false};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i == text.size())
            return {0, i, false};
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte < low || byte > high)
            return {0, i, false};
        code_point = code_point << 6 | (byte & 0x3F);
        low = 0x80, high = 0xBF;
    }
    return {code_point, length, true};
}

// Reads one character of the locale's own character set from the start of
// `text` (first byte 0x80 or above), through the C library's conversion.
// A byte it rejects stands alone; an incomplete sequence takes the rest.
character read_in_locale(std::string_view text, std::mbstate_t &state) noexcept {
    wchar_t wide;
    const std::size_t length = std::mbrtowc(&wide, text.data(), text.size(), &state);
    if (length == static_cast<std::size_t>(-1)) {
        state = std::mbstate_t{};
        return {0, 1, false};
    }
    if (length == static_cast<std::size_t>(-2))
        return {0, text.size(), false};
    return {static_cast<char32_t>(wide), length == 0 ? 1 : length, true};
}

// &#xHEX; with uppercase digits and no leading zeros.
void put_character_reference(std::FILE *out, char32_t code_point) noexcept {
    char text[16] = "&#x";
    char digits[8];
    std::size_t count = 0;
    do {
        digits[count++] = "0123456789ABCDEF"[code_point & 0xF];
        code_point >>= 4;
    } while (code_point != 0);
    std::size_t length = 3;
    while (count > 0)
        text[length++] = digits[--count];
    text[length++] = ';';
    put_text(out, std::string_view(text, length));
}

} // namespace

name_codeset locale_codeset() noexcept {
    const std::string_view codeset = nl_langinfo(CODESET);
    if (codeset == "UTF-8")
        return name_codeset::utf8;
    // glibc's name for ASCII, then other C libraries' names.
    if (codeset == "ANSI_X3.4-1968" || codeset == "ASCII" || codeset == "US-ASCII")
        return name_codeset::ascii;
    return name_codeset::other;
}

void write_escaped(std::FILE *out, std::string_view name, name_codeset codeset) noexcept {
    std::mbstate_t state{};
    const char *const end = name.data() + name.size();
    const char *run = name.data(); // start of the bytes not yet written
    for (const char *at = run;;) {
        at = next_stop(at, end);
        if (at == end)
            break;
        const unsigned char byte = static_cast<unsigned char>(*at);
        if (byte < 0x80) {
            put_text(out, std::string_view(run, static_cast<std::size_t>(at - run)));
            put_text(out, reference_for(byte));
            run = ++at;
            continue;
        }
        const std::string_view rest(at, static_cast<std::size_t>(end - at));
        const character c = codeset == name_codeset::other ? read_in_locale(rest, state)
                                                           : read_utf8(rest);
        const bool readable = c.well_formed && is_xml_character(c.code_point);
        // Under UTF-8 a readable character is written as its own bytes;
        // under any other character set as a reference, so that the
        // document stays ASCII and every reader takes it the same way.
        if (readable && codeset == name_codeset::utf8) {
            at += c.length;
            continue;
        }
        put_text(out, std::string_view(run, static_cast<std::size_t>(at - run)));
        if (readable)
            put_character_reference(out, c.code_point);
        else
            put_text(out, replacement);
        at += c.length;
        run = at;
    }
    put_text(out, std::string_view(run, static_cast<std::size_t>(end - run)));
}
