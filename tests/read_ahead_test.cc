// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Status reads ahead of the writer: whichever way a folder is walked (by
// the calling thread alone, or with helpers taking over after any number of
// entries), the document and the result are the serial walk's, and no
// thread outlives the call; the helpers are as many as what the walk meets
// calls for, and calls share them.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstring>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fixture.h"
#include "forced_plan.h"
#include "kelvane.h"
#include "listing.h"
#include "read_ahead.h"

namespace {

constexpr unsigned every_attribute =
    SHOW_PARENT | SHOW_TIMES | SHOW_PERMS | SHOW_OWNER | SHOW_GROUP;

struct c_locale_environment : ::testing::Environment {
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
};
const auto *const locale_environment =
    ::testing::AddGlobalTestEnvironment(new c_locale_environment);

constexpr long never = LONG_MAX;
constexpr auto computing = read_ahead_kind::computing;
constexpr auto waiting = read_ahead_kind::waiting;

listing serial_listing(const std::string &path, unsigned flags) {
    forced_plan serial(never, 0);
    return list(path.c_str(), flags);
}

// `count` entries with names of every length up to 255 bytes, some
// hidden, some needing escapes, one in nine a folder, sizes all different.
void fill_with_every_name_length(const temp_folder &tree, int count) {
    for (int i = 0; i < count; ++i) {
        std::string name = (i % 5 == 0 ? "." : "") + std::to_string(i);
        name.resize(std::max(name.size(), static_cast<std::size_t>(1 + i % 255)),
                    i % 7 == 3 ? '&' : 'n');
        if (i % 9 == 4)
            make_folder(tree / name);
        else
            make_file(tree / name, 0640,
                      std::string(static_cast<std::size_t>(i % 50), 'x'));
    }
}

// The processors a computing helper may have: all but the caller's, three
// at most.
int computing_share() {
    return std::min(static_cast<int>(std::thread::hardware_concurrency()) - 1, 3);
}

// The most helper threads alive at once while `callers` threads call
// `body` at the same time.
int most_helpers_while(int callers, const std::function<void()> &body) {
    std::atomic<int> returned{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; ++i)
        threads.emplace_back([&] {
            body();
            ++returned;
        });
    int most = 0;
    while (returned < callers) {
        most = std::max(most, listing_threads());
        usleep(200);
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(listing_threads_once_gone(), 0) << "helpers outlived the calls";
    return most;
}

} // namespace

// The rule that grows the number of reads in flight, over made-up rates: it
// doubles while doubling pays, steps back when a step does not, and takes
// what the budget has.
TEST(ReadAhead, DepthFollowsTheRateOfStatuses) {
    struct step {
        double rate;
        unsigned room;
        unsigned depth; // chosen after the step
    };
    const struct {
        const char *what;
        std::vector<step> steps;
        bool settled;
    } rows[] = {
        {"rises to the cap",
         {{1e3, 999, 16},
          {2e3, 999, 32},
          {4e3, 999, 64},
          {8e3, 999, 128},
          {15e3, 999, 128}},
         true},
        {"rises, then no more at the cap",
         {{1e3, 999, 16},
          {2e3, 999, 32},
          {4e3, 999, 64},
          {8e3, 999, 128},
          {9e3, 999, 64}},
         true},
        {"flat: back to the start", {{1e3, 999, 16}, {1.1e3, 999, 8}}, true},
        {"falls: back to the start", {{1e3, 999, 16}, {0.8e3, 999, 8}}, true},
        {"the file system's limit",
         {{1e3, 999, 16}, {1.5e3, 999, 32}, {1.6e3, 999, 16}},
         true},
        {"settled stays", {{1e3, 999, 16}, {1.1e3, 999, 8}, {9e3, 999, 8}}, true},
        {"budget spent", {{1e3, 0, 8}}, true},
        {"what the budget has, and it pays", {{1e3, 4, 12}, {1.3e3, 0, 12}}, true},
        {"what the budget has, and it does not pay",
         {{1e3, 4, 12}, {1.1e3, 99, 8}},
         true},
        {"still growing", {{1e3, 999, 16}, {2e3, 999, 32}}, false},
    };
    for (const auto &row : rows) {
        read_depth growth = start_depth();
        ASSERT_EQ(growth.depth, 8u);
        for (std::size_t i = 0; i < row.steps.size(); ++i) {
            const step &s = row.steps[i];
            EXPECT_EQ(next_depth(growth, s.rate, s.room), s.depth)
                << row.what << ", step " << i + 1;
            EXPECT_EQ(growth.depth, s.depth) << row.what << ", step " << i + 1;
        }
        EXPECT_EQ(growth.settled, row.settled) << row.what;
    }
}

// What the window before the decision saw, and the helpers it calls for.
TEST(ReadAhead, KindOfWalkFromItsWindow) {
    constexpr long ms = 1'000'000;
    const struct {
        const char *what;
        read_window window;
        read_ahead_kind kind;
    } rows[] = {
        {"warm cache", {400, 1 * ms, 1 * ms, ms / 2, 0, false}, computing},
        {"slow file system", {4, 24 * ms, ms / 10, 24 * ms, 9, false}, waiting},
        {"cold disk, one read in three waits",
         {30, 1 * ms, ms / 3, 9 * ms / 10, 10, false},
         waiting},
        {"a slow reader of the document",
         {300, 9 * ms, 7 * ms / 10, 4 * ms / 10, 0, false},
         read_ahead_kind::none},
        {"preempted: the processors are busy",
         {100, 1 * ms, ms / 5, ms / 10, 0, false},
         read_ahead_kind::none},
        {"writing is all the work",
         {500, 1 * ms, 1 * ms, ms / 10, 0, false},
         read_ahead_kind::none},
        {"reads sleep, but the output holds the walk back",
         {40, 10 * ms, ms, 2 * ms, 30, false},
         read_ahead_kind::none},
        {"warm, but the reader has taken nothing yet",
         {400, 1 * ms, 1 * ms, ms / 2, 0, true},
         read_ahead_kind::none},
        {"waiting, but the reader has taken nothing yet",
         {4, 24 * ms, ms / 10, 24 * ms, 9, true},
         read_ahead_kind::none},
    };
    for (const auto &row : rows)
        EXPECT_EQ(kind_of_walk(row.window), row.kind) << row.what;
}

TEST(ReadAhead, EveryWayOfWalkingGivesTheSerialDocument) {
    temp_folder tree;
    fill_with_every_name_length(tree, 1500);
    const struct {
        long decide_after;
        int helpers;
        read_ahead_kind kind;
    } plans[] = {{0, 1, computing},   {1, 3, computing}, {255, 2, computing},
                 {257, 1, computing}, {0, 8, waiting},   {256, 8, waiting},
                 {1199, 8, waiting},  {0, 128, waiting}, {3, -1, waiting},
                 {-1, -1, computing}};
    for (const unsigned flags : {0u, SHOW_HIDDEN | every_attribute}) {
        const listing serial = serial_listing(tree.path, flags);
        ASSERT_EQ(serial.result, 0);
        ASSERT_GT(entry_lines(serial.document).size(), flags ? 1400u : 1100u);
        for (const auto &plan : plans) {
            forced_plan forced(plan.decide_after, plan.helpers, plan.kind);
            const listing ahead = list(tree.path.c_str(), flags);
            EXPECT_EQ(ahead.result, 0);
            EXPECT_TRUE(ahead.document == serial.document)
                << "helpers " << plan.helpers << " after " << plan.decide_after
                << " entries, " << (plan.kind == waiting ? "waiting" : "computing")
                << ", flags " << flags;
        }
    }
}

// On a slow file system that serves many requests at once the walk decides
// by itself to read ahead, and keeps more than its first 8 reads in flight:
// the helpers exist while the call runs and are gone when it returns. Each
// status takes some 15 ms there, so that reads in flight pay even where
// the processors are slow (under valgrind, say); the serial document comes
// from a mirror of the same folder that does not wait.
TEST(ReadAhead, SlowFileSystemGetsHelpersForTheCallAlone) {
    REQUIRE_FAULTY_FS();
    temp_folder tree;
    fill_with_every_name_length(tree, 300);
    faulty_mount quick(tree.path);
    faulty_mount slow(tree.path, {"--status-latency-us=5000", "--threads=128"});
    ASSERT_FALSE(quick.path.empty() || slow.path.empty());
    const listing serial = serial_listing(quick.path, SHOW_HIDDEN | every_attribute);
    ASSERT_EQ(entry_lines(serial.document).size(), 300u);

    listing ahead;
    const int most = most_helpers_while(
        1, [&] { ahead = list(slow.path.c_str(), SHOW_HIDDEN | every_attribute); });
    EXPECT_EQ(ahead.result, 0);
    EXPECT_TRUE(ahead.document == serial.document);
    EXPECT_GT(most, 8) << "reads in flight grew past the first 8";
    EXPECT_LE(most, 128);
}

// Calls at once share the processors: together they never have more
// computing helpers than there are spare processors.
TEST(ReadAhead, CallsAtOnceShareTheSpareProcessors) {
    temp_folder tree;
    for (int i = 0; i < 10000; ++i)
        make_file(tree / ("file-" + std::to_string(i)));
    std::FILE *sinks[2] = {std::fopen("/dev/null", "w"), std::fopen("/dev/null", "w")};
    ASSERT_TRUE(sinks[0] && sinks[1]);
    std::atomic<int> next{0}, failed{0};
    const int most = most_helpers_while(2, [&] {
        failed += kelvane(sinks[next++], tree.path.c_str(), every_attribute) != 0;
    });
    EXPECT_EQ(failed, 0);
    EXPECT_LE(most, std::max(computing_share(), 0));
    for (std::FILE *sink : sinks)
        std::fclose(sink);
}

// A walk whose document goes to a reader that takes it slowly is held back
// by its output, not by its status reads: it never starts the helpers meant
// for reads that wait, and the document is whole.
TEST(ReadAhead, SlowReaderOfTheDocumentGetsNoWaitingHelpers) {
    temp_folder tree;
    for (int i = 0; i < 3000; ++i)
        make_file(tree / ("file-" + std::to_string(i)));
    const listing fast = serial_listing(tree.path, every_attribute);
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    fcntl(ends[1], F_SETPIPE_SZ, 4096);
    std::FILE *out = fdopen(ends[1], "w");
    ASSERT_NE(out, nullptr);
    std::string document;
    std::thread reader([&] { // 4 KiB every 2 ms
        char buffer[4096];
        for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0; usleep(2000))
            document.append(buffer, static_cast<std::size_t>(n));
    });
    int result = -1;
    const int most = most_helpers_while(
        1, [&] { result = kelvane(out, tree.path.c_str(), every_attribute); });
    std::fclose(out);
    reader.join();
    close(ends[0]);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(document == fast.document);
    EXPECT_LE(most, std::max(computing_share(), 0));
}

TEST(ReadAhead, FirstFailureInTheFoldersOrderIsTheResultEveryRun) {
    REQUIRE_FAULTY_FS();
    const struct {
        std::vector<std::string> failing; // after "a0000".."a0999" in name order
        int error;
    } rows[] = {
        {{"eacces-1", "eio-1", "eio-2", "enoent-1", "estale-1", "estale-2"}, EACCES},
        {{"eio-1", "enoent-1", "enomem-1", "estale-1"}, EIO},
        {{"enoent-1", "enoent-2"}, 0},
    };
    for (const auto &row : rows) {
        temp_folder tree;
        for (int i = 0; i < 1000; ++i) {
            char name[8];
            std::snprintf(name, sizeof name, "a%04d", i);
            make_file(tree / name);
        }
        for (const std::string &name : row.failing)
            make_file(tree / name);
        faulty_mount mirror(tree.path, {"--status-latency-us=20"});
        ASSERT_FALSE(mirror.path.empty());
        const listing serial = serial_listing(mirror.path, every_attribute);
        EXPECT_EQ(serial.result, -row.error);
        EXPECT_EQ(entry_lines(serial.document).size(), 1000u);
        forced_plan forced(0, 8, waiting);
        for (int run = 0; run < 5; ++run) {
            const listing ahead = list(mirror.path.c_str(), every_attribute);
            EXPECT_EQ(ahead.result, -row.error) << row.failing.front();
            EXPECT_TRUE(ahead.document == serial.document) << row.failing.front();
        }
    }
}

// A process that may start no thread (at its limit of processes) gets the
// whole document all the same.
TEST(ReadAhead, WithoutThreadsTheWalkGoesOnSerially) {
    REQUIRE_ROOT();
    temp_folder tree;
    fill_with_every_name_length(tree, 700);
    const listing serial = serial_listing(tree.path, SHOW_HIDDEN | every_attribute);
    forced_plan forced(10, 8, waiting);
    const std::string report = in_child([&] {
        // The limit counts the processes of the real user, and binds only
        // a user without privileges.
        const struct rlimit none = {0, 0};
        if (setgroups(0, nullptr) != 0 || setgid(child_gid) != 0 ||
            setuid(child_uid) != 0 || setrlimit(RLIMIT_NPROC, &none) != 0)
            return std::string("could not drop root and limit the processes");
        pthread_t thread;
        if (pthread_create(
                &thread, nullptr, [](void *) -> void * { return nullptr; }, nullptr) ==
            0) {
            pthread_join(thread, nullptr);
            return std::string("a thread could still be started");
        }
        const listing result = list(tree.path.c_str(), SHOW_HIDDEN | every_attribute);
        return std::to_string(result.result) + "\n" + result.document;
    });
    EXPECT_EQ(report, "0\n" + serial.document);
}
