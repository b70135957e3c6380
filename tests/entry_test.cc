// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

#include <cstdint>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fixture.h"
#include "kelvane.h"
#include "listing.h"

namespace {

// The line write_entry() gives for `path` alone, as the first entry of a
// listing with these flags.
std::string entry_line(const char *path, unsigned folder_mode, unsigned flags) {
    listing_context listing = start_listing(flags, {AT_FDCWD, false});
    return written_by(
        [&](std::FILE *out) { write_entry(out, path, folder_mode, listing); });
}

std::string entry_line(const std::string &path, unsigned folder_mode, unsigned flags) {
    return entry_line(path.c_str(), folder_mode, flags);
}

void set_times(const std::string &path, time_t accessed, time_t modified) {
    const struct timespec times[2] = {{accessed, 0}, {modified, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << std::strerror(errno);
}

struct stat status_with(mode_t mode, uid_t uid, gid_t gid) {
    struct stat status {};
    status.st_mode = mode;
    status.st_uid = uid;
    status.st_gid = gid;
    return status;
}

// access_mode() of a status record, worked out by a child running under
// the given effective ids; the result comes back in octal.
std::string mode_as(uid_t uid, gid_t gid, const struct stat &status, unsigned flags) {
    return as_user(uid, gid, [&] {
        char octal[16];
        std::snprintf(octal, sizeof octal, "%o",
                      access_mode(status, flags, effective_ids(flags)));
        return std::string(octal);
    });
}

} // namespace

TEST(EntryLine, CarriesEveryAttributeInOrder) {
    temp_folder tree;
    const std::string file = tree / "report.txt";
    make_file(file, 0640, "12345");
    set_times(file, 1678165627, 1704164645);
    struct stat status;
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    char created[20];
    std::strftime(created, sizeof created, "%Y%m%dT%H%M%SZ", gmtime(&status.st_ctime));

    const std::string expected =
        std::string("  <file name=\"report.txt\" size=\"5\" created=\"") + created +
        "\" modified=\"20240102T030405Z\""
        " accessed=\"20230307T050707Z\" owner=\"" +
        std::to_string(status.st_uid) + "\" group=\"" + std::to_string(status.st_gid) +
        "\" user-perm=\"RWD\" group-perm=\"RD\" other-perm=\"D\" />\n";
    EXPECT_EQ(entry_line(file, 0222, SHOW_TIMES | SHOW_OWNER | SHOW_GROUP | SHOW_PERMS),
              expected);
    EXPECT_EQ(entry_line(file, 0222, 0), "  <file name=\"report.txt\" size=\"5\" />\n");
}

TEST(EntryLine, FolderCarriesItsOwnSize) {
    temp_folder tree;
    make_folder(tree / "album");
    struct stat status;
    ASSERT_EQ(stat((tree / "album").c_str(), &status), 0);
    EXPECT_EQ(entry_line(tree / "album", 0, 0), "  <folder name=\"album\" size=\"" +
                                                    std::to_string(status.st_size) +
                                                    "\" />\n");
}

TEST(EntryLine, WritesNothingForWhatIsNotListed) {
    temp_folder tree;
    ASSERT_EQ(mkfifo((tree / "pipe").c_str(), 0644), 0);
    make_file(tree / ".hidden");
    EXPECT_EQ(entry_line(tree / "pipe", 0777, SHOW_HIDDEN), "");
    EXPECT_EQ(entry_line(tree / "missing", 0777, SHOW_HIDDEN), "");
    EXPECT_EQ(entry_line(tree / ".hidden", 0777, 0), "");
    EXPECT_EQ(entry_line(tree / ".hidden", 0777, SHOW_HIDDEN),
              "  <file name=\".hidden\" size=\"0\" />\n");

    EXPECT_EQ(entry_line(nullptr, 0777, SHOW_HIDDEN), "");
}

TEST(EntryLine, TimesAreUtcStampsBeforeAndAfterTheEpoch) {
    temp_folder tree;
    const std::string file = tree / "old";
    make_file(file);
    set_times(file, 0, -1);
    const std::string line = entry_line(file, 0, SHOW_TIMES);
    EXPECT_EQ(attribute(line, "accessed"), "19700101T000000Z");
    EXPECT_EQ(attribute(line, "modified"), "19691231T235959Z");
}

TEST(EntryLine, SizeIsTheFull64BitSize) {
    temp_folder tree;
    const std::string file = tree / "huge";
    make_file(file);
    ASSERT_EQ(truncate(file.c_str(), std::int64_t{5} << 30), 0);
    EXPECT_EQ(attribute(entry_line(file, 0, 0), "size"), "5368709120");
}

TEST(EntryLine, IdsAreUnsignedDecimals) {
    REQUIRE_ROOT();
    temp_folder tree;
    const std::string file = tree / "nobody";
    make_file(file);
    if (chown(file.c_str(), 4294967294u, 4294967294u) != 0)
        GTEST_SKIP() << "this system cannot hand out id 4294967294: "
                     << std::strerror(errno);
    const std::string line = entry_line(file, 0, SHOW_OWNER | SHOW_GROUP);
    EXPECT_EQ(attribute(line, "owner"), "4294967294");
    EXPECT_EQ(attribute(line, "group"), "4294967294");
}

TEST(PermissionLetters, ComeFromEntryAndHoldingFolder) {
    temp_folder tree;
    const std::string file = tree / "f";
    make_file(file, 0666);
    EXPECT_EQ(perm_letters(entry_line(file, 0222, SHOW_PERMS)), "RWD|RWD|RWD");
    // Each class reads its own bits; execute bits are never reported.
    make_file(file, 0411);
    EXPECT_EQ(perm_letters(entry_line(file, 0020, SHOW_PERMS)), "R|D|");
    EXPECT_EQ(perm_letters(entry_line(file, 0111, SHOW_PERMS)), "R||");
}

TEST(PermissionLetters, NoWriteAndNoDeleteDropOnlyTheirLetter) {
    temp_folder tree;
    const std::string file = tree / "f";
    make_file(file, 0666);
    EXPECT_EQ(perm_letters(entry_line(file, 0222, SHOW_PERMS | NO_WRITE)), "RD|RD|RD");
    EXPECT_EQ(perm_letters(entry_line(file, 0222, SHOW_PERMS | NO_DELETE)), "RW|RW|RW");
    EXPECT_EQ(perm_letters(entry_line(file, 0222, SHOW_PERMS | NO_WRITE | NO_DELETE)),
              "R|R|R");
}

TEST(PermissionLetters, EmptyTextsAreStillWritten) {
    temp_folder tree;
    const std::string file = tree / "closed";
    make_file(file, 0000);
    const std::string line = entry_line(file, 0, SHOW_PERMS);
    EXPECT_NE(line.find(" user-perm=\"\" group-perm=\"\" other-perm=\"\" />\n"),
              std::string::npos)
        << line;
}

TEST(AccessMode, RootSeesTheBitsAsTheyAre) {
    REQUIRE_ROOT();
    const struct stat status = status_with(S_IFREG | 0777, other_uid, other_gid);
    EXPECT_EQ(access_mode(status, 0, effective_ids(0)), unsigned{S_IFREG | 0777});
}

TEST(AccessMode, MasksOwnerAndGroupOfOthersForAnUnprivilegedUser) {
    REQUIRE_ROOT();
    const struct stat others = status_with(S_IFREG | 0777, other_uid, other_gid);
    // Only read and write are dropped; execute, kind and other bits stay.
    EXPECT_EQ(mode_as(child_uid, child_gid, others, 0), "100117");
    EXPECT_EQ(mode_as(child_uid, child_gid, others, SHOW_OWNER), "100717");
    EXPECT_EQ(mode_as(child_uid, child_gid, others, SHOW_GROUP), "100177");
    EXPECT_EQ(mode_as(child_uid, child_gid, others, SHOW_OWNER | SHOW_GROUP), "100777");

    const struct stat own = status_with(S_IFDIR | 0666, child_uid, child_gid);
    EXPECT_EQ(mode_as(child_uid, child_gid, own, 0), "40666");
    const struct stat own_user_only = status_with(S_IFDIR | 0666, child_uid, other_gid);
    EXPECT_EQ(mode_as(child_uid, child_gid, own_user_only, 0), "40606");
}

TEST(AccessMode, EffectiveGroupZeroSeesEveryGroupsBits) {
    REQUIRE_ROOT();
    const struct stat others = status_with(S_IFREG | 0666, other_uid, other_gid);
    EXPECT_EQ(mode_as(child_uid, 0, others, 0), "100066");
}
