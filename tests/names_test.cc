// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Names may hold any byte but '/' and NUL. The document stays well-formed
// for every name the declared character set can carry, and each name reads
// back as it was (control bytes as U+FFFD); any other name is still listed,
// and the run still succeeds.
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

// Every byte from 0x80 up alone, which UTF-8 cannot carry either, and
// sequences that are not UTF-8.
std::vector<std::string> other_names() {
    std::vector<std::string> names;
    for (int byte = 0x80; byte <= 0xFF; ++byte)
        names.push_back(name_around(static_cast<unsigned char>(byte)));
    for (const char *name :
         {"\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\xF8\x88\x80\x80\x80"})
        names.emplace_back(name);
    return names;
}

void make_files(const std::string &folder, const std::vector<std::string> &names) {
    make_folder(folder);
    for (const std::string &name : names)
        make_file(folder + "/" + name);
}

run_result list_in(const std::string &folder, const std::string &locale) {
    run_options options;
    options.cwd = folder;
    options.env = {"LC_ALL=" + locale};
    return run_program({"-H", "-tp"}, options);
}

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(EveryByte, NamesTheCharacterSetCarriesReadBackFromAWellFormedDocument) {
    temp_folder tree;
    const std::vector<std::string> ascii = ascii_names(), utf8 = utf8_names();
    make_files(tree / "ascii", ascii);
    make_files(tree / "utf8", utf8);
    const struct {
        const char *locale;
        const char *folder;
        const std::vector<std::string> &names;
    } runs[] = {
        {"C", "ascii", ascii}, {"C.UTF-8", "ascii", ascii}, {"C.UTF-8", "utf8", utf8}};

    for (const auto &[locale, folder, names] : runs) {
        SCOPED_TRACE(std::string(folder) + " under LC_ALL=" + locale);
        const run_result result = list_in(tree / folder, locale);
        EXPECT_EQ(result.status, 0) << result.err;
        const auto parsed = parsed_names(result.out);
        ASSERT_TRUE(parsed.has_value()) << result.out;
        std::vector<std::string> expected;
        for (const std::string &name : names)
            expected.push_back(read_back(name));
        EXPECT_EQ(sorted(*parsed), sorted(expected));
    }
}

TEST(EveryByte, NamesOutsideTheCharacterSetStillList) {
    temp_folder tree;
    const std::vector<std::string> other = other_names(), utf8 = utf8_names();
    make_files(tree / "other", other);
    make_files(tree / "utf8", utf8);
    const struct {
        const char *locale;
        const char *folder;
        std::size_t count;
    } runs[] = {{"C", "other", other.size()},
                {"C.UTF-8", "other", other.size()},
                {"C", "utf8", utf8.size()}};

    for (const auto &[locale, folder, count] : runs) {
        SCOPED_TRACE(std::string(folder) + " under LC_ALL=" + locale);
        const run_result result = list_in(tree / folder, locale);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(one_complete_document(result.out));
        EXPECT_EQ(entry_lines(result.out).size(), count);
    }
}
