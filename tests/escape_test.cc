// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

#include <string>

#include <gtest/gtest.h>

#include "fixture.h"
#include "listing.h"

namespace {

std::string escaped(std::string_view name, name_codeset codeset = name_codeset::utf8) {
    return written_by([&](std::FILE *out) { write_escaped(out, name, codeset); });
}

// The value an XML parser reads back from name="<escaped>".
std::string parsed_back(std::string_view name) {
    const auto names = parsed_names("<e><n name=\"" + escaped(name) + "\"/></e>");
    if (!names)
        return "<not well-formed>";
    return names->empty() ? "<no attribute>" : names->front();
}

bool is_ascii(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) > 0x7F)
            return false;
    return true;
}

} // namespace

TEST(Escape, MarkupCharactersBecomeEntities) {
    EXPECT_EQ(escaped("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e'f");
    EXPECT_EQ(escaped("&&"), "&amp;&amp;");
    EXPECT_EQ(escaped("\"x"), "&quot;x");
}

TEST(Escape, WhiteSpaceControlsAreKeptAsCharacterReferences) {
    EXPECT_EQ(escaped("a\tb\nc\rd"), "a&#9;b&#10;c&#13;d");
}

TEST(Escape, OtherControlBytesBecomeTheReplacementCharacter) {
    EXPECT_EQ(escaped("\x01x\x1f\x1b\x7f"), "&#xFFFD;x&#xFFFD;&#xFFFD;\x7f");
}

// Names read as UTF-8: as they are under a UTF-8 locale, as references
// under an ASCII one; each maximal ill-formed subpart, and each character
// XML does not allow, as one U+FFFD.
TEST(Escape, BeyondAsciiUnderUtf8AndAsciiCodesets) {
    const struct {
        std::string_view name, utf8, ascii;
    } cases[] = {
        {"plain name.txt", "plain name.txt", "plain name.txt"},
        {"caf\xC3\xA9", "caf\xC3\xA9", "caf&#xE9;"},
        {"\xC2\x80", "\xC2\x80", "&#x80;"},
        {"\xE2\x82\xAC", "\xE2\x82\xAC", "&#x20AC;"},
        {"\xEF\xBF\xBD", "\xEF\xBF\xBD", "&#xFFFD;"},
        {"\xF0\x9F\x98\x80!", "\xF0\x9F\x98\x80!", "&#x1F600;!"},
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF", "&#x10FFFF;"},
        {"a&\xC3\xA9<", "a&amp;\xC3\xA9&lt;", "a&amp;&#xE9;&lt;"},
        // noncharacters XML does not allow
        {"a\xEF\xBF\xBE"
         "b\xEF\xBF\xBF",
         "a&#xFFFD;b&#xFFFD;", "a&#xFFFD;b&#xFFFD;"},
        // ill-formed: a lone Latin-1 byte, a truncated emoji, overlong
        // forms, a surrogate, beyond U+10FFFF, a stray continuation byte
        {"b\xE9"
         "d",
         "b&#xFFFD;d", "b&#xFFFD;d"},
        {"\xF0\x9F\x98", "&#xFFFD;", "&#xFFFD;"},
        {"\xE2\x82x", "&#xFFFD;x", "&#xFFFD;x"},
        {"\xC0\xAF", "&#xFFFD;&#xFFFD;", "&#xFFFD;&#xFFFD;"},
        {"\xE0\x80\xAF", "&#xFFFD;&#xFFFD;&#xFFFD;", "&#xFFFD;&#xFFFD;&#xFFFD;"},
        {"\xED\xA0\x80", "&#xFFFD;&#xFFFD;&#xFFFD;", "&#xFFFD;&#xFFFD;&#xFFFD;"},
        {"\xF4\x90\x80\x80", "&#xFFFD;&#xFFFD;&#xFFFD;&#xFFFD;",
         "&#xFFFD;&#xFFFD;&#xFFFD;&#xFFFD;"},
        {"\x80\xC3\xA9\xFF", "&#xFFFD;\xC3\xA9&#xFFFD;", "&#xFFFD;&#xE9;&#xFFFD;"},
    };
    for (const auto &[name, utf8, ascii] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(name)));
        EXPECT_EQ(escaped(name, name_codeset::utf8), utf8);
        EXPECT_EQ(escaped(name, name_codeset::ascii), ascii);
    }
}

// Under any other character set the C library reads the characters; each
// is written as a reference to its code point, a rejected byte and an
// incomplete end each as one U+FFFD.
TEST(Escape, BeyondAsciiUnderOtherCodesetsIsReadInTheLocale) {
    REQUIRE_LOCALE(latin1_locale);
    REQUIRE_LOCALE(eucjp_locale);
    const struct {
        const char *locale;
        std::string_view name, written;
    } cases[] = {
        {latin1_locale, "caf\xE9", "caf&#xE9;"},
        {latin1_locale, "\x80\xA0\xFF", "&#x80;&#xA0;&#xFF;"},
        {latin1_locale, "caf\xC3\xA9&", "caf&#xC3;&#xA9;&amp;"},
        {eucjp_locale, "\xA4\xA2.txt", "&#x3042;.txt"},
        {eucjp_locale, "\x8E\xB1", "&#xFF71;"},
        {eucjp_locale, "\xA4\x41\xFF", "&#xFFFD;A&#xFFFD;"},
        {eucjp_locale, "a\xA4", "a&#xFFFD;"},
    };
    for (const auto &[locale, name, written] : cases) {
        SCOPED_TRACE(std::string(locale) + " " +
                     testing::PrintToString(std::string(name)));
        scoped_locale in(locale);
        ASSERT_EQ(locale_codeset(), name_codeset::other);
        EXPECT_EQ(escaped(name, name_codeset::other), written);
    }
}

TEST(Escape, CodesetFollowsTheLocale) {
    {
        scoped_locale in("C");
        EXPECT_EQ(locale_codeset(), name_codeset::ascii);
    }
    scoped_locale in("C.UTF-8");
    EXPECT_EQ(locale_codeset(), name_codeset::utf8);
}

// Whatever the bytes, outside UTF-8 the text is ASCII, and in every
// character set a parser reads it.
TEST(Escape, EveryByteGivesParsableText) {
    std::string every_byte;
    for (int byte = 1; byte <= 0xFF; ++byte)
        every_byte += static_cast<char>(byte);
    for (const name_codeset codeset : {name_codeset::utf8, name_codeset::ascii}) {
        const std::string text = escaped(every_byte, codeset);
        EXPECT_TRUE(codeset != name_codeset::ascii || is_ascii(text)) << text;
        EXPECT_TRUE(well_formed("<e name=\"" + text + "\"/>")) << text;
    }
    REQUIRE_LOCALE(eucjp_locale);
    scoped_locale in(eucjp_locale);
    const std::string text = escaped(every_byte, name_codeset::other);
    EXPECT_TRUE(is_ascii(text));
    EXPECT_TRUE(well_formed("<e name=\"" + text + "\"/>")) << text;
}

TEST(Escape, ParserReadsBackTheOriginalName) {
    for (std::string_view name : {"a&b", "<tag>", "say \"hi\"", "tab\there", "two\nlines",
                                  "cr\rlf", "&amp;", "&#9;", "]]>", "caf\xc3\xa9"})
        EXPECT_EQ(parsed_back(name), name);
    EXPECT_EQ(parsed_back("bell\x07"), "bell\xef\xbf\xbd");
    EXPECT_EQ(parsed_back("not\xef\xbf\xbf"), "not\xef\xbf\xbd");
}
