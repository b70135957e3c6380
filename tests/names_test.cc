// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Names may hold any byte but '/' and NUL. Whatever the locale, the document
// is well-formed and each name reads back as its character set reads it:
// control bytes, and whatever is not a character there, as U+FFFD.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fixture.h"

namespace {

const std::string replacement = "\xEF\xBF\xBD"; // U+FFFD in UTF-8

// A name holding `byte` at both ends, so that no name is "." or "..".
std::string name_around(unsigned char byte) {
    char tag[8];
    std::snprintf(tag, sizeof tag, "_%02x_", byte);
    return static_cast<char>(byte) + std::string(tag) + static_cast<char>(byte);
}

// A name as a parser reads it back from the document: control bytes, and
// the noncharacters U+FFFE and U+FFFF, as U+FFFD.
std::string read_back(const std::string &name) {
    std::string text;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const unsigned char byte = name[i];
        if (name.compare(i, 3, "\xEF\xBF\xBE") == 0 ||
            name.compare(i, 3, "\xEF\xBF\xBF") == 0) {
            text += replacement;
            i += 2;
        } else if (byte >= 0x20 || byte == '\t' || byte == '\n' || byte == '\r') {
            text += static_cast<char>(byte);
        } else {
            text += replacement;
        }
    }
    return text;
}

std::string repeated(const std::string &piece, std::size_t length) {
    std::string text;
    while (text.size() < length)
        text += piece;
    return text.substr(0, length);
}

// Every byte below 0x80, and the longest names, one of them all markup.
std::vector<std::string> ascii_names() {
    std::vector<std::string> names;
    for (int byte = 1; byte < 0x80; ++byte)
        if (byte != '/')
            names.push_back(name_around(static_cast<unsigned char>(byte)));
    names.push_back(std::string(255, 'n'));
    names.push_back(repeated("&<>\"'\t\x01", 255));
    return names;
}

// Characters of two, three and four bytes in UTF-8, C1 controls and the
// noncharacters U+FFFE and U+FFFF included, and a longest name of
// three-byte characters.
std::vector<std::string> utf8_names() {
    return {"caf\xC3\xA9",      "\xC2\x80\xC2\x9F",
            "\xE2\x82\xAC",     "\xF0\x9D\x84\x9E",
            "\xEF\xBF\xBD",     "\xF4\x8F\xBF\xBF",
            "\xEF\xBF\xBD.jpg", "\xEF\xBF\xBE",
            "x\xEF\xBF\xBFy",   repeated("\xE2\x82\xAC", 255)};
}

// Names that are not UTF-8, with what a parser reads back when they are
// read as UTF-8: each byte from 0x80 up alone, then overlong forms, a
// surrogate, beyond U+10FFFF, truncated characters, a lone Latin-1 byte.
struct ill_formed {
    std::string name, read_as_utf8;
};
std::vector<ill_formed> ill_formed_names() {
    const std::string r = replacement;
    std::vector<ill_formed> names;
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        const std::string name = name_around(static_cast<unsigned char>(byte));
        names.push_back({name, r + name.substr(1, name.size() - 2) + r});
    }
    names.push_back({"\xC0\xAF", r + r});
    names.push_back({"\xED\xA0\x80", r + r + r});
    names.push_back({"\xF4\x90\x80\x80", r + r + r + r});
    names.push_back({"\xF8\x88\x80\x80\x80", r + r + r + r + r});
    names.push_back({"x\xF0\x9F\x98", "x" + r});
    names.push_back({"\xE2\x82", r});
    names.push_back({"b\xE9"
                     "d",
                     "b" + r + "d"});
    return names;
}

// A name read in ISO-8859-1, as a parser gives it back in UTF-8: every byte
// from 0x80 up is the character of that number, control bytes are U+FFFD.
std::string read_as_latin1(const std::string &name) {
    std::string text;
    for (const unsigned char byte : name) {
        if (byte >= 0x80)
            text += {static_cast<char>(0xC0 | byte >> 6),
                     static_cast<char>(0x80 | (byte & 0x3F))};
        else
            text += read_back(std::string(1, static_cast<char>(byte)));
    }
    return text;
}

// A folder holding all the names above, with each name as a parser must
// read it back under a UTF-8 or ASCII locale and under a Latin-1 one.
struct named_folder {
    std::string path;
    std::vector<std::string> as_utf8, as_latin1;
};

named_folder make_every_name(const temp_folder &tree) {
    named_folder folder{tree / "names", {}, {}};
    make_folder(folder.path);
    const auto add = [&](const std::string &name, const std::string &as_utf8) {
        make_file(folder.path + "/" + name);
        folder.as_utf8.push_back(as_utf8);
        folder.as_latin1.push_back(read_as_latin1(name));
    };
    for (const std::string &name : ascii_names())
        add(name, read_back(name));
    for (const std::string &name : utf8_names())
        add(name, read_back(name));
    for (const ill_formed &name : ill_formed_names())
        add(name.name, name.read_as_utf8);
    return folder;
}

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

// Lists the folder under `locale` and checks that a parser reads every name
// back as `expected` says; outside UTF-8 the document must be ASCII.
void check_listing(const named_folder &folder, const std::string &locale,
                   const std::vector<std::string> &expected) {
    SCOPED_TRACE("LC_ALL=" + locale);
    run_options options;
    options.cwd = folder.path;
    options.env = {"LC_ALL=" + locale};
    const run_result result = run_program({"-H", "-tp"}, options);
    EXPECT_EQ(result.status, 0) << result.err;
    const bool ascii = std::all_of(result.out.begin(), result.out.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80;
    });
    EXPECT_TRUE(ascii || locale == "C.UTF-8");
    const auto parsed = parsed_names(result.out);
    ASSERT_TRUE(parsed.has_value()) << "not well-formed:\n" << result.out;
    EXPECT_EQ(sorted(*parsed), sorted(expected));
}

} // namespace

TEST(EveryName, ReadsBackUnderUtf8AndAscii) {
    temp_folder tree;
    const named_folder folder = make_every_name(tree);
    check_listing(folder, "C.UTF-8", folder.as_utf8);
    check_listing(folder, "C", folder.as_utf8);
}

TEST(EveryName, ReadsBackUnderALegacyCharacterSet) {
    REQUIRE_LOCALE(latin1_locale);
    temp_folder tree;
    const named_folder folder = make_every_name(tree);
    check_listing(folder, latin1_locale, folder.as_latin1);
}
