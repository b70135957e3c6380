// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

#include <gtest/gtest.h>

#include "listing.h"

TEST(PathGuard, RefusesPathsThatClimbOut) {
    for (const char *path :
         {"..", "../", "../x", "a/../b", "a/..", "/../x", "./..", "x/y/.."})
        EXPECT_TRUE(path_climbs_out(path)) << path;
}

TEST(PathGuard, PassesEverythingElse) {
    // "/.." is the root's own parent, which is the root again.
    for (const char *path : {"", ".", "./x", "..a", "a..", "a/..b", "b../c", "...", "/..",
                             "/", "/etc", "a/./b", ".../x"})
        EXPECT_FALSE(path_climbs_out(path)) << path;
}

TEST(ParentPath, CutsBackToTheHoldingFolder) {
    const std::pair<const char *, const char *> table[] = {
        {"a/b/c", "a/b"}, {"a/b/", "a"}, {"a/b/.", "a"}, {"a//b", "a/"},
        {"//b", "/"},     {"a", "."},    {"a/./", "."},  {"/", "."},
        {"/.", "."},      {"", "."},     {"a/b//", "a"}, {"./a", "."},
    };
    for (const auto &[path, parent] : table) {
        heap_text cut = parent_path(path);
        ASSERT_NE(cut, nullptr) << path;
        EXPECT_STREQ(cut.get(), parent) << path;
    }
}

TEST(ParentPath, NameDirectlyUnderTheRootIsHeldByTheRoot) {
    for (const char *path : {"/name", "/name/", "/name/."}) {
        heap_text cut = parent_path(path);
        ASSERT_NE(cut, nullptr) << path;
        EXPECT_STREQ(cut.get(), "/") << path;
    }
}
