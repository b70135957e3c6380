// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// What a long-lived caller needs from the listing: no descriptor or memory
// kept from call to call, a clean end when descriptors run out or the
// reader goes away, and sound listings of a folder that changes meanwhile.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fixture.h"
#include "kelvane.h"
#include "listing.h"
#include "read_ahead.h"

namespace {

// The document for a folder that could not be opened, in the C locale.
const std::string frame_start = "<?xml version=\"1.0\" encoding=\"ANSI_X3.4-1968\"?>\n"
                                "<!DOCTYPE folder-listing SYSTEM "
                                "\"obex-folder-listing.dtd\">\n"
                                "<folder-listing version=\"1.0\">\n";
const std::string frame_end = "</folder-listing>\n";

// Lowers the soft limit on open files so that no further descriptor can be
// opened; for forked children only.
void use_up_descriptors() {
    const int lowest_free = dup(0);
    close(lowest_free);
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(lowest_free);
    setrlimit(RLIMIT_NOFILE, &limit);
}

double seconds_now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace

TEST(OutOfDescriptors, LibraryClosesTheEntryLessDocumentAndGivesEmfile) {
    temp_folder tree;
    make_file(tree / "a");
    const std::string report = in_child([&] {
        use_up_descriptors();
        const listing result = list(tree.path.c_str(), SHOW_PARENT);
        return std::to_string(result.result) + "\n" + result.document;
    });
    EXPECT_EQ(report, std::to_string(-EMFILE) + "\n" + frame_start +
                          "  <parent-folder />\n" + frame_end);
}

TEST(OutOfDescriptors, ProgramSaysSoAndFails) {
    const char *preloaded = std::getenv("LD_PRELOAD");
    if (preloaded && std::strstr(preloaded, "vgpreload"))
        GTEST_SKIP()
            << "under valgrind, which needs descriptors of its own in the program";
    temp_folder tree;
    make_file(tree / "a");
    run_options options;
    options.cwd = tree.path;
    // In the sanitizer build, LeakSanitizer could not look at the process
    // at exit either, with no descriptor left for it to open /proc.
    options.env = {"LC_ALL=C", "LD_PRELOAD=" FD_CEILING_LIBRARY,
                   "ASAN_OPTIONS=detect_leaks=0"};
    const run_result result = run_program({"."}, options);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_TRUE(result.err.ends_with("\nToo many open files\n")) << result.err;
    EXPECT_EQ(result.out, frame_start + frame_end);
}

TEST(ClosedPipe, EndsTheProgramPromptly) {
    // Enough entries that writes fail while the walk is still going.
    temp_folder tree;
    for (int i = 0; i < 500; ++i)
        make_file(tree / ("entry_with_a_longish_name_" + std::to_string(i)));
    for (bool sigpipe_ignored : {false, true}) {
        int channel[2];
        ASSERT_EQ(pipe(channel), 0);
        close(channel[0]); // nobody will ever read
        run_options options;
        options.cwd = tree.path;
        options.stdout_fd = channel[1];
        options.time_limit = 20;
        if (sigpipe_ignored)
            options.before_exec = [] { std::signal(SIGPIPE, SIG_IGN); };
        const run_result result = run_program({"-tpog"}, options);
        close(channel[1]);
        if (sigpipe_ignored) {
            EXPECT_EQ(result.status, 1);
            EXPECT_TRUE(result.err.ends_with("\nBroken pipe\n")) << result.err;
        } else {
            EXPECT_EQ(result.status, 128 + SIGPIPE) << result.err;
        }
    }
}

TEST(RepeatedCalls, KeepNoDescriptorAndNoMemory) {
    temp_folder tree;
    make_file(tree / "a", 0644, "some text");
    make_file(tree / ".hidden");
    make_folder(tree / "sub");
    std::FILE *sink = std::fopen("/dev/null", "w");
    ASSERT_NE(sink, nullptr);
    const std::string file = tree / "a";
    int failed = 0;
    auto call = [&](int times) {
        for (int i = 0; i < times; ++i) {
            failed += kelvane(sink, tree.path.c_str(), 0xff) != 0;
            failed += kelvane(sink, file.c_str(), SHOW_PARENT | SHOW_PERMS) != 0;
            forced_read_ahead = {0, 1}; // a helper from the first entry on
            failed += kelvane(sink, tree.path.c_str(), SHOW_TIMES) != 0;
            forced_read_ahead = {-1, -1};
        }
    };
    // The stream's buffer, the time zone and the C library's cache of
    // thread stacks, set up once.
    call(50);
    const int descriptors = open_descriptors();
    // Zero throughout under the sanitizers and valgrind, whose allocators
    // mallinfo2 does not see; their own leak checks stand in there.
    const std::size_t heap = mallinfo2().uordblks;
    call(5000);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(mallinfo2().uordblks, heap);
    std::fclose(sink);
}

namespace {

constexpr int churn_count = 1000;

// Until killed (or for ten seconds at most), creates and removes the files
// f0..f999 and the folders d0..d999 of `folder`, one after another; writes
// a byte to `ready` once the first half of them exists.
[[noreturn]] void churn(const std::string &folder, int ready) {
    const double give_up = seconds_now() + 10;
    for (int round = 0; seconds_now() < give_up; ++round) {
        for (int i = 0; i < churn_count; ++i) {
            const std::string f = folder + "/f" + std::to_string(i);
            const std::string d = folder + "/d" + std::to_string(i);
            if (round % 2 == 0) {
                close(open(f.c_str(), O_WRONLY | O_CREAT, 0644));
                mkdir(d.c_str(), 0755);
            } else {
                unlink(f.c_str());
                rmdir(d.c_str());
            }
            if (round == 0 && i == churn_count / 2)
                (void)!write(ready, "+", 1);
        }
    }
    _exit(0);
}

// A child process, ended on every way out of the test (before the folder
// it works in is removed).
struct killed_at_end {
    pid_t pid;
    ~killed_at_end() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

// Why an entry line cannot describe an entry of the changing folder, or "".
std::string stranger(const std::string &line) {
    const std::string name = attribute(line, "name");
    const bool file = line.starts_with("  <file ");
    const std::string size = attribute(line, "size");
    if (name == "stable_file" && file && size == "6")
        return "";
    if (name == "stable_folder" && !file)
        return "";
    const bool numbered = name.size() > 1 && name.size() <= 4 &&
                          name.find_first_not_of("0123456789", 1) == std::string::npos;
    if (numbered && name[0] == 'f' && file && size == "0")
        return "";
    if (numbered && name[0] == 'd' && !file)
        return "";
    return "no such entry: " + line;
}

} // namespace

TEST(ChangingFolder, EveryListingHoldsOnlyEntriesThatExisted) {
    temp_folder tree;
    make_file(tree / "stable_file", 0644, "stable");
    make_folder(tree / "stable_folder");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t churner = fork();
    ASSERT_GE(churner, 0);
    if (churner == 0) {
        close(ready[0]);
        churn(tree.path, ready[1]);
    }
    const killed_at_end stop_churner{churner};
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);

    int runs = 0, with_churn = 0;
    std::set<std::size_t> sizes;
    for (const double stop = seconds_now() + 2; runs < 5 || seconds_now() < stop;
         ++runs) {
        const listing result = list(tree.path.c_str(), SHOW_TIMES | SHOW_PERMS);
        ASSERT_EQ(result.result, 0);
        ASSERT_TRUE(well_formed(result.document)) << result.document;
        const std::vector<std::string> entries = entry_lines(result.document);
        for (const std::string &line : entries)
            ASSERT_EQ(stranger(line), "");
        EXPECT_NE(line_for(result.document, "stable_file"), "");
        EXPECT_NE(line_for(result.document, "stable_folder"), "");
        with_churn += entries.size() > 2;
        sizes.insert(entries.size());
    }
    // The listings really did overlap the changes.
    EXPECT_GT(with_churn, 0) << runs << " runs";
    EXPECT_GT(sizes.size(), 1u) << runs << " runs";
}
