// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Names come from the file system and may hold any byte but '/' and NUL;
// this is where they are made safe to stand in an XML attribute value.
#include "listing.h"
#include "writer.h"

namespace {

// The reference that stands for `byte` in an attribute value, or null when
// the byte is written as it is.
const char *reference_for(unsigned char byte) noexcept {
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

// In UTF-8, U+FFFE and U+FFFF are well-formed byte sequences (EF BF BE and
// EF BF BF) but not characters XML allows: true when one starts `text`.
bool starts_with_xml_noncharacter(std::string_view text) noexcept {
    return text.size() >= 3 && text[0] == '\xEF' && text[1] == '\xBF' &&
           (text[2] == '\xBE' || text[2] == '\xBF');
}

} // namespace

void write_escaped(std::FILE *out, std::string_view name, bool utf8) noexcept {
    std::size_t run_start = 0;
    for (std::size_t i = 0; i < name.size();) {
        std::size_t width = 1;
        const char *reference = reference_for(static_cast<unsigned char>(name[i]));
        if (!reference && utf8 && starts_with_xml_noncharacter(name.substr(i))) {
            reference = "&#xFFFD;";
            width = 3;
        }
        if (!reference) {
            ++i;
            continue;
        }
        put_text(out, name.substr(run_start, i - run_start));
        put_text(out, reference);
        i += width;
        run_start = i;
    }
    put_text(out, name.substr(run_start));
}
