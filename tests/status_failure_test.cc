// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Entries whose status can't be read, on a file system that really fails
// (faulty_fs.c): such a failure is the result, the first one in the
// folder's order, and the other entries are listed; entries that are simply
// gone are left out silently. The mirror gives its names in name order.
#include <cerrno>
#include <clocale>
#include <cstring>

#include <unistd.h>

#include <gtest/gtest.h>

#include "fixture.h"
#include "kelvane.h"

namespace {

constexpr unsigned every_attribute = SHOW_TIMES | SHOW_PERMS | SHOW_OWNER | SHOW_GROUP;

struct c_locale_environment : ::testing::Environment {
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
};
const auto *const locale_environment =
    ::testing::AddGlobalTestEnvironment(new c_locale_environment);

// A folder holding the files "a", "b", "c" and the files named in `more`.
void fill(const temp_folder &tree, const std::vector<std::string> &more) {
    for (const char *name : {"a", "b", "c"})
        make_file(tree / name, 0640, name);
    for (const std::string &name : more)
        make_file(tree / name);
}

// The lines of "a", "b" and "c" as a listing of the folder itself gives
// them, in name order: what the mirror must list besides what fails.
std::vector<std::string> lines_of_abc(const temp_folder &tree, unsigned flags) {
    const std::string document = list(tree.path.c_str(), flags).document;
    return {line_for(document, "a"), line_for(document, "b"), line_for(document, "c")};
}

} // namespace

TEST(StatusFailure, IsTheResultAndTheOtherEntriesAreListed) {
    REQUIRE_FAULTY_FS();
    const struct {
        std::vector<std::string> failing;
        int error; // the first failure in name order
    } rows[] = {
        {{"eio-disk"}, EIO},
        {{"eacces-guarded"}, EACCES},
        {{"estale-share"}, ESTALE},
        {{"enomem-tight"}, ENOMEM},
        {{"eio-first", "estale-second"}, EIO},
        {{"eacces-first", "eio-second"}, EACCES},
    };
    for (const auto &row : rows) {
        const std::string what = row.failing.front();
        temp_folder tree;
        fill(tree, row.failing);
        faulty_mount mirror(tree.path);
        ASSERT_FALSE(mirror.path.empty());
        for (int run = 0; run < 3; ++run) {
            const listing result = list(mirror.path.c_str(), every_attribute);
            EXPECT_EQ(result.result, -row.error) << what;
            EXPECT_EQ(entry_lines(result.document), lines_of_abc(tree, every_attribute))
                << what;
            EXPECT_TRUE(one_complete_document(result.document)) << what;
        }
        const run_result program = run_program({"-p", mirror.path});
        EXPECT_EQ(program.status, 1) << what;
        EXPECT_TRUE(program.err.ends_with(std::string(std::strerror(row.error)) + "\n"))
            << what << ": " << program.err;
        EXPECT_EQ(entry_lines(program.out), lines_of_abc(tree, SHOW_PERMS)) << what;
    }
}

TEST(StatusFailure, EntriesThatAreGoneAreLeftOutSilently) {
    REQUIRE_FAULTY_FS();
    temp_folder tree;
    fill(tree, {"enoent-vanished", "eloop-circle", "enotdir-through-a-file"});
    ASSERT_EQ(symlink("nowhere", (tree / "dangling").c_str()), 0);
    ASSERT_EQ(symlink("looping", (tree / "looping").c_str()), 0);
    faulty_mount mirror(tree.path);
    ASSERT_FALSE(mirror.path.empty());
    const listing result = list(mirror.path.c_str(), every_attribute);
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(entry_lines(result.document), lines_of_abc(tree, every_attribute));
    EXPECT_EQ(run_program({mirror.path}).status, 0);
}

TEST(StatusFailure, FolderFailingToReadKeepsWhatWasRead) {
    REQUIRE_FAULTY_FS();
    temp_folder tree;
    fill(tree, {"d", "e", "f"});
    faulty_mount mirror(tree.path, {"--readdir-fail-after=3"});
    ASSERT_FALSE(mirror.path.empty());
    const listing result = list(mirror.path.c_str(), every_attribute);
    EXPECT_EQ(result.result, -EIO);
    EXPECT_EQ(entry_lines(result.document), lines_of_abc(tree, every_attribute));
    EXPECT_TRUE(one_complete_document(result.document));
}

// Mode 0444: the names can be read, but no entry can be reached to read
// its status. Every entry is left out, and that is no success.
TEST(StatusFailure, FolderThatCannotBeSearchedIsDenied) {
    REQUIRE_ROOT();
    temp_folder tree;
    make_folder(tree / "unsearchable", 0755);
    make_file(tree / "unsearchable/one");
    make_file(tree / "unsearchable/two");
    ASSERT_EQ(chmod((tree / "unsearchable").c_str(), 0444), 0);
    const std::string folder = tree / "unsearchable";
    const std::string report = as_user(child_uid, child_gid, [&] {
        const listing result = list(folder.c_str(), 0);
        return std::to_string(result.result) + " " +
               std::to_string(entry_lines(result.document).size());
    });
    EXPECT_EQ(report, std::to_string(-EACCES) + " 0");
    run_options unprivileged;
    unprivileged.unprivileged = true;
    const run_result program = run_program({folder}, unprivileged);
    EXPECT_EQ(program.status, 1);
    EXPECT_TRUE(program.err.ends_with(std::string(std::strerror(EACCES)) + "\n"));
}
