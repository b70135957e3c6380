// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Status reads ahead of the writer: whichever way a folder is walked (by
// the calling thread alone, or with helpers taking over after any number of
// entries), the document and the result are the serial walk's, and no
// thread outlives the call.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstring>
#include <thread>

#include <dirent.h>
#include <grp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fixture.h"
#include "kelvane.h"
#include "listing.h"

namespace {

constexpr unsigned every_attribute =
    SHOW_PARENT | SHOW_TIMES | SHOW_PERMS | SHOW_OWNER | SHOW_GROUP;

struct c_locale_environment : ::testing::Environment {
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
};
const auto *const locale_environment =
    ::testing::AddGlobalTestEnvironment(new c_locale_environment);

// Forces a way of walking for the scope: helpers after `decide_after`
// entries, or never (serial).
struct forced_plan {
    read_ahead_plan previous = forced_read_ahead;
    forced_plan(long decide_after, int helpers) {
        forced_read_ahead = {decide_after, helpers};
    }
    ~forced_plan() { forced_read_ahead = previous; }
};
constexpr long never = LONG_MAX;

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

int threads_of_this_process() {
    int count = 0;
    DIR *tasks = opendir("/proc/self/task");
    while (const struct dirent *task = tasks ? readdir(tasks) : nullptr)
        count += task->d_name[0] != '.';
    if (tasks)
        closedir(tasks);
    return count;
}

} // namespace

TEST(ReadAhead, EveryWayOfWalkingGivesTheSerialDocument) {
    temp_folder tree;
    fill_with_every_name_length(tree, 1500);
    const struct {
        long decide_after;
        int helpers;
    } plans[] = {{0, 1},   {0, 8},   {1, 3},    {255, 2},
                 {256, 8}, {257, 1}, {1199, 8}, {-1, -1}};
    for (const unsigned flags : {0u, SHOW_HIDDEN | every_attribute}) {
        const listing serial = serial_listing(tree.path, flags);
        ASSERT_EQ(serial.result, 0);
        ASSERT_GT(entry_lines(serial.document).size(), flags ? 1400u : 1100u);
        for (const auto &plan : plans) {
            forced_plan forced(plan.decide_after, plan.helpers);
            const listing ahead = list(tree.path.c_str(), flags);
            EXPECT_EQ(ahead.result, 0);
            EXPECT_TRUE(ahead.document == serial.document)
                << "helpers " << plan.helpers << " after " << plan.decide_after
                << " entries, flags " << flags;
        }
    }
}

// On a slow file system the walk decides by itself to read ahead, with 8
// helpers: they exist while the call runs and are gone when it returns.
TEST(ReadAhead, SlowFileSystemGetsHelpersForTheCallAlone) {
    REQUIRE_FAULTY_FS();
    temp_folder tree;
    fill_with_every_name_length(tree, 600);
    faulty_mount mirror(tree.path, {"--status-latency-us=100"});
    ASSERT_FALSE(mirror.path.empty());
    const listing serial = serial_listing(mirror.path, SHOW_HIDDEN | every_attribute);
    ASSERT_EQ(entry_lines(serial.document).size(), 600u);

    // A sanitizer's own thread starts with the process's second thread:
    // have it there before counting.
    std::thread([] {}).join();
    const int before = threads_of_this_process();
    std::atomic<bool> listed{false};
    listing ahead;
    std::thread caller([&] {
        ahead = list(mirror.path.c_str(), SHOW_HIDDEN | every_attribute);
        listed = true;
    });
    int most = 0;
    while (!listed) {
        most = std::max(most, threads_of_this_process());
        usleep(200);
    }
    caller.join();
    EXPECT_EQ(ahead.result, 0);
    EXPECT_TRUE(ahead.document == serial.document);
    EXPECT_EQ(most, before + 1 + 8) << "the caller and its 8 helpers";
    EXPECT_EQ(threads_of_this_process(), before);
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
        forced_plan forced(0, 8);
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
    forced_plan forced(10, 8);
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
