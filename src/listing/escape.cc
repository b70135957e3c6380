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

} // namespace

void write_escaped(std::FILE *out, std::string_view name) noexcept {
    std::size_t run_start = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char *reference = reference_for(static_cast<unsigned char>(name[i]));
        if (!reference)
            continue;
        put_text(out, name.substr(run_start, i - run_start));
        put_text(out, reference);
        run_start = i + 1;
    }
    put_text(out, name.substr(run_start));
}
