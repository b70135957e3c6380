// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

#include <string>

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "fixture.h"
#include "listing.h"

namespace {

std::string escaped(std::string_view name, bool utf8 = true) {
    return written_by([&](std::FILE *out) { write_escaped(out, name, utf8); });
}

// The value an XML parser reads back from name="<escaped>".
std::string parsed_back(std::string_view name) {
    const std::string document = "<e name=\"" + escaped(name) + "\"/>";
    xmlDocPtr doc = xmlReadMemory(document.data(), static_cast<int>(document.size()),
                                  "e.xml", "UTF-8", XML_PARSE_NONET | XML_PARSE_NOERROR);
    if (!doc)
        return "<not well-formed>";
    xmlChar *value = xmlGetProp(xmlDocGetRootElement(doc), BAD_CAST "name");
    std::string text = value ? reinterpret_cast<const char *>(value) : "<no attribute>";
    xmlFree(value);
    xmlFreeDoc(doc);
    return text;
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
    EXPECT_EQ(escaped("\x01x\x1f\x1b"), "&#xFFFD;x&#xFFFD;&#xFFFD;");
}

TEST(Escape, EverythingElseIsWrittenAsItIs) {
    EXPECT_EQ(escaped(""), "");
    EXPECT_EQ(escaped("plain name.txt"), "plain name.txt");
    EXPECT_EQ(escaped("caf\xc3\xa9 \x7f \xff"), "caf\xc3\xa9 \x7f \xff");
}

// Valid UTF-8, but characters XML forbids; in other character sets the same
// bytes are ordinary characters and stay.
TEST(Escape, NoncharactersBecomeTheReplacementCharacterInUtf8) {
    EXPECT_EQ(escaped("a\xef\xbf\xbe"
                      "b\xef\xbf\xbf"),
              "a&#xFFFD;b&#xFFFD;");
    EXPECT_EQ(escaped("\xef\xbf\xbd \xef\xbf \xef\xbe\xbe \xef"),
              "\xef\xbf\xbd \xef\xbf \xef\xbe\xbe \xef");
    EXPECT_EQ(escaped("a\xef\xbf\xbe", false), "a\xef\xbf\xbe");
}

TEST(Escape, ParserReadsBackTheOriginalName) {
    for (std::string_view name : {"a&b", "<tag>", "say \"hi\"", "tab\there", "two\nlines",
                                  "cr\rlf", "&amp;", "&#9;", "]]>", "caf\xc3\xa9"})
        EXPECT_EQ(parsed_back(name), name);
    EXPECT_EQ(parsed_back("bell\x07"), "bell\xef\xbf\xbd");
    EXPECT_EQ(parsed_back("not\xef\xbf\xbf"), "not\xef\xbf\xbd");
}
