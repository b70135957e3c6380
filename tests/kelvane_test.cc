// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fixture.h"
#include "kelvane.h"

namespace {

const std::string declaration_c = "<?xml version=\"1.0\" encoding=\"ANSI_X3.4-1968\"?>";
const std::string doctype =
    "<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">";
const std::string root_start = "<folder-listing version=\"1.0\">";
const std::string root_end = "</folder-listing>";
const std::string parent_line = "  <parent-folder />";

// Tests run in the C locale unless they choose another.
struct c_locale_environment : ::testing::Environment {
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
};
const auto *const locale_environment =
    ::testing::AddGlobalTestEnvironment(new c_locale_environment);

std::vector<std::string> sorted_names(const std::string &document) {
    std::vector<std::string> names;
    for (const std::string &line : entry_lines(document))
        names.push_back(attribute(line, "name"));
    std::sort(names.begin(), names.end());
    return names;
}

std::string perms_of_single_entry(const char *path) {
    const listing result = list(path, SHOW_PERMS);
    EXPECT_EQ(result.result, 0) << path;
    const std::vector<std::string> entries = entry_lines(result.document);
    return entries.size() == 1 ? perm_letters(entries[0])
                               : "<" + std::to_string(entries.size()) + " entries>";
}

} // namespace

TEST(Guard, RefusedPathsWriteNothing) {
    for (const char *path : {"../x", "..", "a/../b", "a/..", "../"}) {
        const listing result = list(path, SHOW_PARENT);
        EXPECT_EQ(result.result, -EINVAL) << path;
        EXPECT_EQ(result.document, "") << path;
    }
}

TEST(Guard, PassedPathsGetADocument) {
    temp_folder tree;
    working_folder inside(tree.path);
    for (const char *path : {"..a", "a..", "a/..b", "./x"}) {
        const listing result = list(path, 0);
        EXPECT_EQ(result.result, -ENOTDIR) << path;
        EXPECT_TRUE(result.document.starts_with("<?xml")) << path;
    }
    make_file("..a");
    EXPECT_EQ(list("..a", 0).result, 0);
}

TEST(Guard, NullPathOrStreamIsRefused) {
    const listing result = list(nullptr, SHOW_PARENT);
    EXPECT_EQ(result.result, -EINVAL);
    EXPECT_EQ(result.document, "");
    EXPECT_EQ(kelvane(nullptr, ".", 0), -EINVAL);
}

TEST(Frame, MissingPathGivesTheEntrylessDocument) {
    temp_folder tree;
    const std::string missing = tree / "missing";
    const listing plain = list(missing.c_str(), 0);
    EXPECT_EQ(plain.result, -ENOTDIR);
    EXPECT_EQ(lines_of(plain.document),
              (std::vector<std::string>{declaration_c, doctype, root_start, root_end}));
    EXPECT_TRUE(plain.document.ends_with(root_end + "\n"));

    const listing with_parent = list(missing.c_str(), SHOW_PARENT);
    EXPECT_EQ(with_parent.result, -ENOTDIR);
    EXPECT_EQ(lines_of(with_parent.document),
              (std::vector<std::string>{declaration_c, doctype, root_start, parent_line,
                                        root_end}));
    EXPECT_TRUE(well_formed(with_parent.document));
}

TEST(Frame, EmptyPathGetsParentElementAndNotADirectory) {
    const listing result = list("", SHOW_PARENT);
    EXPECT_EQ(result.result, -ENOTDIR);
    EXPECT_EQ(lines_of(result.document),
              (std::vector<std::string>{declaration_c, doctype, root_start, parent_line,
                                        root_end}));
}

TEST(Frame, ParentElementFollowsTheRootTagForEveryPassedPath) {
    temp_folder tree;
    make_folder(tree / "a");
    make_folder(tree / "a/b");
    make_file(tree / "a/b/c");
    working_folder inside(tree.path);
    for (const char *path : {"a/b/c", "a/b/", "a/b/.", "a//b", "a", "a/./", "/", "/.",
                             "//tmp", "missing", "a/missing/x"}) {
        const std::vector<std::string> lines = lines_of(list(path, SHOW_PARENT).document);
        ASSERT_GE(lines.size(), 5u) << path;
        EXPECT_EQ(lines[2], root_start) << path;
        EXPECT_EQ(lines[3], parent_line) << path;
        EXPECT_EQ(std::count(lines.begin(), lines.end(), parent_line), 1) << path;
    }
}

TEST(Frame, DeclarationNamesTheLocalesCharacterSet) {
    temp_folder tree;
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    const listing utf8 = list(tree.path.c_str(), 0);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(lines_of(utf8.document).front(),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
}

TEST(Frame, NonListableKindsGiveNotADirectory) {
    temp_folder tree;
    ASSERT_EQ(mkfifo((tree / "pipe").c_str(), 0644), 0);
    ASSERT_EQ(symlink("nowhere", (tree / "dangling").c_str()), 0);
    for (const std::string &path :
         {tree / "pipe", tree / "dangling", std::string("/dev/null")}) {
        const listing result = list(path.c_str(), SHOW_PARENT);
        EXPECT_EQ(result.result, -ENOTDIR) << path;
        EXPECT_EQ(lines_of(result.document).size(), 5u) << path;
    }
}

TEST(Folder, EmptyFolderGivesTheFrameAlone) {
    temp_folder tree;
    const listing result = list(tree.path.c_str(), SHOW_PARENT);
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(lines_of(result.document),
              (std::vector<std::string>{declaration_c, doctype, root_start, parent_line,
                                        root_end}));
}

TEST(Folder, ListsFilesAndFoldersButNotPipesSocketsOrDanglingLinks) {
    temp_folder tree;
    make_file(tree / "notes.txt", 0644, "hello");
    make_folder(tree / "photos");
    ASSERT_EQ(mkfifo((tree / "pipe").c_str(), 0644), 0);
    ASSERT_EQ(symlink("nowhere", (tree / "dangling").c_str()), 0);
    ASSERT_EQ(symlink("photos", (tree / "shortcut").c_str()), 0);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::string socket_path = tree / "socket";
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socket_path.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<struct sockaddr *>(&address), sizeof address),
              0);

    const listing result = list(tree.path.c_str(), 0);
    close(sock);
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(sorted_names(result.document),
              (std::vector<std::string>{"notes.txt", "photos", "shortcut"}));
    EXPECT_EQ(line_for(result.document, "notes.txt"),
              "  <file name=\"notes.txt\" size=\"5\" />");
    // A link to a folder is listed as the folder it leads to, under its own name.
    EXPECT_TRUE(
        line_for(result.document, "shortcut").starts_with("  <folder name=\"shortcut\""));
    EXPECT_TRUE(well_formed(result.document));
}

TEST(Folder, TrailingSlashesAndDotGiveTheSameListing) {
    temp_folder tree;
    make_folder(tree / "docs");
    make_file(tree / "docs/a");
    make_file(tree / "docs/b");
    working_folder inside(tree.path);
    const listing plain = list("docs", SHOW_PARENT);
    EXPECT_EQ(plain.result, 0);
    EXPECT_EQ(list("docs/", SHOW_PARENT).document, plain.document);
    EXPECT_EQ(list("docs//", SHOW_PARENT).document, plain.document);
    EXPECT_EQ(list("./docs/.", SHOW_PARENT).document, plain.document);
    working_folder docs("docs");
    EXPECT_EQ(list(".", SHOW_PARENT).document, plain.document);
}

TEST(Folder, LinkToAFolderIsWalkedLikeTheFolder) {
    temp_folder tree;
    make_folder(tree / "real");
    make_file(tree / "real/inside");
    ASSERT_EQ(symlink("real", (tree / "link").c_str()), 0);
    EXPECT_EQ(list((tree / "link").c_str(), 0).document,
              list((tree / "real").c_str(), 0).document);
}

TEST(Folder, RootsOwnParentListsTheRoot) {
    const listing up = list("/..", SHOW_PARENT);
    const listing root = list("/", SHOW_PARENT);
    EXPECT_EQ(up.result, 0);
    EXPECT_EQ(root.result, 0);
    // Other tests may place a file directly under the root meanwhile.
    auto settled = [](std::vector<std::string> names) {
        std::erase_if(
            names, [](const std::string &n) { return n.starts_with("kelvane-test-"); });
        return names;
    };
    EXPECT_EQ(settled(sorted_names(up.document)), settled(sorted_names(root.document)));
    EXPECT_FALSE(entry_lines(root.document).empty());
    EXPECT_EQ(lines_of(root.document)[3], parent_line);
}

TEST(Hidden, DotEntriesOnlyWithShowHidden) {
    temp_folder tree;
    make_folder(tree / ".config");
    make_file(tree / ".config/.secret");
    make_file(tree / ".config/visible");
    EXPECT_EQ(sorted_names(list((tree / ".config").c_str(), 0).document),
              (std::vector<std::string>{"visible"}));
    EXPECT_EQ(sorted_names(list((tree / ".config").c_str(), SHOW_HIDDEN).document),
              (std::vector<std::string>{".secret", "visible"}));

    const std::string single = tree / ".config/.secret";
    const listing hidden = list(single.c_str(), 0);
    EXPECT_EQ(hidden.result, 0);
    EXPECT_TRUE(entry_lines(hidden.document).empty());
    EXPECT_EQ(sorted_names(list(single.c_str(), SHOW_HIDDEN).document),
              (std::vector<std::string>{".secret"}));
}

TEST(Times, AttributesFollowTheStatusTimes) {
    temp_folder tree;
    const std::string file = tree / "dated";
    make_file(file);
    const struct timespec times[2] = {{1678165627, 0}, {1704164645, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    const std::string line =
        line_for(list(tree.path.c_str(), SHOW_TIMES).document, "dated");
    EXPECT_EQ(attribute(line, "modified"), "20240102T030405Z");
    EXPECT_EQ(attribute(line, "accessed"), "20230307T050707Z");
    // The status change time is now; it is written in the same form.
    const std::string created = attribute(line, "created");
    struct tm parsed {};
    ASSERT_NE(strptime(created.c_str(), "%Y%m%dT%H%M%SZ", &parsed), nullptr) << created;
    EXPECT_LE(std::labs(timegm(&parsed) - time(nullptr)), 120L) << created;
    EXPECT_LT(line.find("created="), line.find("modified="));
    EXPECT_LT(line.find("modified="), line.find("accessed="));
    EXPECT_EQ(
        attribute(line_for(list(tree.path.c_str(), 0).document, "dated"), "modified"),
        "<absent>");
}

// Entries sharing a second, and entries whose times differ, each get their
// own stamps, whatever the order in which the folder gives them.
TEST(Times, EachEntryShowsItsOwnTimes) {
    temp_folder tree;
    const struct {
        const char *name;
        time_t accessed, modified;
        const char *accessed_text, *modified_text;
    } files[] = {
        {"a", 1704164645, 1704164645, "20240102T030405Z", "20240102T030405Z"},
        {"b", 1704164645, 1704164646, "20240102T030405Z", "20240102T030406Z"},
        {"c", 0, 1704164645, "19700101T000000Z", "20240102T030405Z"},
        {"d", 1704164646, 0, "20240102T030406Z", "19700101T000000Z"},
    };
    for (const auto &file : files) {
        make_file(tree / file.name);
        const struct timespec times[2] = {{file.accessed, 0}, {file.modified, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (tree / file.name).c_str(), times, 0), 0);
    }
    const std::string document = list(tree.path.c_str(), SHOW_TIMES).document;
    for (const auto &file : files) {
        const std::string line = line_for(document, file.name);
        EXPECT_EQ(attribute(line, "accessed"), file.accessed_text) << line;
        EXPECT_EQ(attribute(line, "modified"), file.modified_text) << line;
    }
}

namespace {

// Entries dated and sized past what 32 bits hold, either way: a 32-bit
// time_t ends in January 2038 and begins in December 1901, unsigned ones
// end in 2106; a 32-bit size ends at 2 or 4 GiB. The sizes are sparse.
const struct {
    const char *name;
    std::int64_t modified;
    const char *stamp;
    std::int64_t size;
} far_entries[] = {
    {"1960", -315619200, "19600101T000000Z", 0},
    {"last-second-before-1970", -1, "19691231T235959Z", 1},
    {"2038", std::int64_t{1} << 31, "20380119T031408Z", std::int64_t{1} << 31},
    {"2040", 2208988800, "20400101T000000Z", (std::int64_t{1} << 32) + 1},
    {"2106", std::int64_t{1} << 32, "21060207T062816Z", std::int64_t{5} << 30},
    {"2400", 13569465600, "24000101T000000Z", 0},
};

void make_far_entries(const temp_folder &tree) {
    for (const auto &entry : far_entries) {
        const std::string path = tree / entry.name;
        make_file(path);
        ASSERT_EQ(truncate(path.c_str(), entry.size), 0) << std::strerror(errno);
        const struct timespec times[2] = {{entry.modified, 0}, {entry.modified, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << std::strerror(errno);
    }
}

void expect_far_entries(const std::string &path) {
    const listing result = list(path.c_str(), SHOW_TIMES);
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(entry_lines(result.document).size(), std::size(far_entries));
    for (const auto &entry : far_entries) {
        const std::string line = line_for(result.document, entry.name);
        EXPECT_EQ(attribute(line, "modified"), entry.stamp) << entry.name;
        EXPECT_EQ(attribute(line, "accessed"), entry.stamp) << entry.name;
        EXPECT_EQ(attribute(line, "size"), std::to_string(entry.size)) << entry.name;
    }
}

} // namespace

TEST(Times, DatesAndSizesPast32BitsAreExact) {
    temp_folder tree;
    make_far_entries(tree);
    expect_far_entries(tree.path);
}

TEST(Times, DatesAndSizesPast32BitsAreExactThroughAMirror) {
    REQUIRE_FAULTY_FS();
    if (const std::string missing = faulty_fs_dates_past_2038_missing(); !missing.empty())
        GTEST_SKIP() << missing;
    temp_folder tree;
    make_far_entries(tree);
    faulty_mount mirror(tree.path);
    ASSERT_FALSE(mirror.path.empty());
    expect_far_entries(mirror.path);
}

TEST(Escaping, AnyNameKeepsTheDocumentWellFormed) {
    temp_folder tree;
    const std::vector<std::string> names = {"a&b",      "<b>",        "say \"hi\"",
                                            "it's",     "tab\there",  "line\nfeed",
                                            "bell\x07", "caf\xc3\xa9"};
    for (const std::string &name : names)
        make_file(tree / name);
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    const listing result = list(tree.path.c_str(), SHOW_PERMS | SHOW_TIMES);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(entry_lines(result.document).size(), names.size());
    EXPECT_TRUE(well_formed(result.document)) << result.document;
    EXPECT_NE(line_for(result.document, "a&amp;b"), "");
    EXPECT_NE(line_for(result.document, "line&#10;feed"), "");
    EXPECT_NE(line_for(result.document, "bell&#xFFFD;"), "");
}

TEST(DeleteLetters, EntriesOfAFolderTakeThemFromThatFolder) {
    temp_folder tree;
    // The listed folder lets only its owner delete; its parent lets everyone.
    chmod(tree.path.c_str(), 0777);
    make_folder(tree / "mine", 0755);
    make_file(tree / "mine/f", 0644);
    EXPECT_EQ(perms_of_single_entry((tree / "mine").c_str()), "RWD|R|R");
    // A single file too takes them from the folder that holds it.
    EXPECT_EQ(perms_of_single_entry((tree / "mine/f").c_str()), "RWD|R|R");
}

TEST(DeleteLetters, SingleFileFollowsTheParentPathRule) {
    temp_folder tree;
    // Each folder lets a different set of classes delete, so the letters tell
    // which folder was taken as the holder.
    make_folder(tree / "a", 0770);
    make_folder(tree / "a/b", 0707);
    make_file(tree / "a/b/c", 0444);
    make_file(tree / "a/c2", 0444);
    working_folder inside(tree.path);
    EXPECT_EQ(perms_of_single_entry("a/b/c"), "RD|R|RD");
    EXPECT_EQ(perms_of_single_entry("a/./b/c"), "RD|R|RD");
    EXPECT_EQ(perms_of_single_entry("a//c2"), "RD|RD|R");
    EXPECT_EQ(perms_of_single_entry("a/./c2"), "RD|RD|R");
    working_folder in_b("a/b");
    EXPECT_EQ(perms_of_single_entry("c"), "RD|R|RD");
}

TEST(DeleteLetters, FileDirectlyUnderTheRootTakesThemFromTheRoot) {
    REQUIRE_ROOT();
    struct stat root;
    ASSERT_EQ(stat("/", &root), 0);
    if (!(root.st_mode & S_IWUSR))
        GTEST_SKIP() << "the root folder is not writable by its owner here";
    const std::string file = "/kelvane-test-" + std::to_string(getpid());
    make_file(file, 0444);
    const std::string perms = perms_of_single_entry(file.c_str());
    unlink(file.c_str());
    EXPECT_EQ(perms.substr(0, perms.find('|')), "RD");
}

TEST(DeleteLetters, NoWriteAndNoDeleteReachTheEntries) {
    temp_folder tree;
    chmod(tree.path.c_str(), 0777);
    make_file(tree / "f", 0666);
    const std::string line =
        entry_lines(list(tree.path.c_str(), SHOW_PERMS | NO_WRITE).document)[0];
    EXPECT_EQ(attribute(line, "other-perm"), "RD");
    const std::string kept =
        entry_lines(list(tree.path.c_str(), SHOW_PERMS | NO_DELETE).document)[0];
    EXPECT_EQ(attribute(kept, "other-perm"), "RW");
}

TEST(Identity, OwnerAndGroupOfOthersAreMaskedForAnUnprivilegedUser) {
    REQUIRE_ROOT();
    temp_folder tree;
    make_folder(tree / "theirs", 0777);
    make_file(tree / "theirs/f", 0666);
    ASSERT_EQ(chown((tree / "theirs").c_str(), other_uid, other_gid), 0);
    ASSERT_EQ(chown((tree / "theirs/f").c_str(), other_uid, other_gid), 0);
    const std::string folder = tree / "theirs";
    auto line_as_child = [&](unsigned flags) {
        return as_user(child_uid, child_gid, [&] {
            const listing result = list(folder.c_str(), flags);
            return std::to_string(result.result) + " " + line_for(result.document, "f");
        });
    };

    // Neither owner nor group: R and W masked on the file, D masked through
    // the folder's own masked write bits; the other class is untouched.
    const std::string masked = line_as_child(SHOW_PERMS);
    EXPECT_TRUE(masked.starts_with("0 ")) << masked;
    EXPECT_EQ(perm_letters(masked), "||RWD");

    const std::string owner = line_as_child(SHOW_PERMS | SHOW_OWNER);
    EXPECT_EQ(attribute(owner, "owner"), std::to_string(other_uid));
    EXPECT_EQ(perm_letters(owner), "RWD||RWD");

    const std::string group = line_as_child(SHOW_PERMS | SHOW_GROUP);
    EXPECT_EQ(attribute(group, "group"), std::to_string(other_gid));
    EXPECT_EQ(perm_letters(group), "|RWD|RWD");

    // The same entries, owned by the running user, are not masked.
    ASSERT_EQ(chown(folder.c_str(), child_uid, child_gid), 0);
    ASSERT_EQ(chown((tree / "theirs/f").c_str(), child_uid, child_gid), 0);
    EXPECT_EQ(perm_letters(line_as_child(SHOW_PERMS)), "RWD|RWD|RWD");
}

TEST(Identity, RootSeesOwnerBitsUnmasked) {
    REQUIRE_ROOT();
    temp_folder tree;
    chmod(tree.path.c_str(), 0700);
    make_file(tree / "f", 0600);
    ASSERT_EQ(chown((tree / "f").c_str(), other_uid, other_gid), 0);
    EXPECT_EQ(perms_of_single_entry((tree / "f").c_str()), "RWD||");
}

TEST(Identity, FolderThatCannotBeOpenedGivesItsErrorAfterAClosedDocument) {
    temp_folder tree;
    make_folder(tree / "locked", 0700);
    make_file(tree / "locked/inside");
    const std::string locked = tree / "locked";
    std::string report;
    if (running_as_root()) {
        report = as_user(child_uid, child_gid, [&] {
            const listing result = list(locked.c_str(), 0);
            return std::to_string(result.result) + "\n" + result.document;
        });
    } else {
        chmod(locked.c_str(), 0300);
        const listing result = list(locked.c_str(), 0);
        report = std::to_string(result.result) + "\n" + result.document;
    }
    EXPECT_EQ(report.substr(0, report.find('\n')), std::to_string(-EACCES));
    const std::string document = report.substr(report.find('\n') + 1);
    EXPECT_TRUE(entry_lines(document).empty());
    EXPECT_TRUE(document.ends_with(root_end + "\n"));
}

// --- Several threads ---------------------------------------------------------

namespace {

// A folder of files whose times all differ, so that a stamp made for one
// call and shown in another would change its document.
void fill_with_distinct_times(const temp_folder &tree) {
    for (int i = 0; i < 40; ++i) {
        const std::string file = tree / ("f" + std::to_string(i));
        make_file(file, 0640, std::string(i, 'x'));
        const time_t modified = 1000000000 + i * 3210987L;
        const struct timespec times[2] = {{modified + 86399, 0}, {modified, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    }
}

constexpr unsigned every_attribute =
    SHOW_PARENT | SHOW_TIMES | SHOW_PERMS | SHOW_OWNER | SHOW_GROUP;

} // namespace

TEST(Threads, CallsOnTheirOwnStreamsEachGiveTheWholeDocument) {
    temp_folder tree;
    fill_with_distinct_times(tree);
    const listing alone = list(tree.path.c_str(), every_attribute);
    ASSERT_EQ(alone.result, 0);
    ASSERT_EQ(entry_lines(alone.document).size(), 40u);

    std::atomic<int> differing{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int call = 0; call < 150; ++call) {
                const listing again = list(tree.path.c_str(), every_attribute);
                if (again.result != 0 || again.document != alone.document)
                    ++differing;
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(differing, 0) << "of 1200 documents";
}

TEST(Threads, CallsOnOneStreamWriteWholeDocumentsInTurn) {
    temp_folder tree;
    fill_with_distinct_times(tree);
    const listing alone = list(tree.path.c_str(), every_attribute);
    ASSERT_EQ(alone.result, 0);

    constexpr int threads_count = 4, calls = 50;
    std::atomic<int> failed{0};
    const std::string all = written_by([&](std::FILE *out) {
        std::vector<std::thread> threads;
        for (int t = 0; t < threads_count; ++t)
            threads.emplace_back([&] {
                for (int call = 0; call < calls; ++call)
                    if (kelvane(out, tree.path.c_str(), every_attribute) != 0)
                        ++failed;
            });
        for (std::thread &thread : threads)
            thread.join();
    });
    EXPECT_EQ(failed, 0);
    std::string expected;
    for (int i = 0; i < threads_count * calls; ++i)
        expected += alone.document;
    EXPECT_TRUE(all == expected) << "documents interleaved or lost";
}
