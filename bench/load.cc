// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Lists one folder many times at once, as a busy server would: from COUNT
// threads of this process, or from COUNT processes forked from it, each
// calling kelvane() once with its document going to /dev/null.
//
//   kelvane_load threads|processes COUNT on|off FOLDER [FLAGS]
//
// "off" walks every folder serially, through the listing's test hook (the
// program is linked with the listing's own objects for that); "on" lets
// the listing read statuses ahead as it decides. Meanwhile the tasks of
// this process (or of each child) are counted every 200 us: the program
// prints the most helper threads seen alive at once, over and above the
// callers, and exits 0 when every call returned 0. The benchmark times it.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "kelvane.h"
#include "listing.h"
#include "read_ahead.h"
#include "tasks.h"

namespace {

bool list_once(const char *folder, unsigned flags) {
    std::FILE *sink = std::fopen("/dev/null", "w");
    if (!sink)
        return false;
    const bool listed = kelvane(sink, folder, flags) == 0;
    return std::fclose(sink) == 0 && listed;
}

int usage() {
    std::fputs("usage: kelvane_load threads|processes COUNT on|off FOLDER [FLAGS]\n",
               stderr);
    return 2;
}

// COUNT threads at once. While every caller is inside its call, the tasks
// beyond them, this thread and the counter are helpers.
int load_with_threads(int count, const char *folder, unsigned flags) {
    std::atomic<int> failed{0}, inside{0}, returned{0};
    std::vector<std::thread> callers;
    int most = 0;
    std::thread counter([&] {
        while (returned < count) {
            const bool all_inside = inside == count && returned == 0;
            const int tasks = tasks_of(getpid());
            if (all_inside && returned == 0)
                most = std::max(most, tasks - (count + 2));
            usleep(200);
        }
    });
    for (int i = 0; i < count; ++i)
        callers.emplace_back([&] {
            ++inside;
            failed += !list_once(folder, flags);
            ++returned;
        });
    for (std::thread &caller : callers)
        caller.join();
    counter.join();
    std::printf("%d\n", most);
    return failed == 0 ? 0 : 1;
}

// COUNT processes at once; each has one caller, its other tasks are
// helpers, summed over the children alive.
int load_with_processes(int count, const char *folder, unsigned flags) {
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t child = fork();
        if (child < 0)
            return 1;
        if (child == 0)
            _exit(list_once(folder, flags) ? 0 : 1);
        children.push_back(child);
    }
    int most = 0, failed = 0;
    for (std::size_t left = children.size(); left > 0;) {
        int helpers = 0;
        for (const pid_t child : children)
            if (child > 0)
                helpers += std::max(tasks_of(child) - 1, 0);
        most = std::max(most, helpers);
        for (pid_t &child : children) {
            int status;
            if (child > 0 && waitpid(child, &status, WNOHANG) == child) {
                failed += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
                child = -1;
                --left;
            }
        }
        usleep(200);
    }
    std::printf("%d\n", most);
    return failed == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 5 && argc != 6)
        return usage();
    const std::string mode = argv[1], read_ahead = argv[3];
    const int count = std::atoi(argv[2]);
    const unsigned flags =
        argc == 6 ? static_cast<unsigned>(std::strtoul(argv[5], nullptr, 0)) : 0;
    if (count < 1 || (read_ahead != "on" && read_ahead != "off"))
        return usage();
    if (read_ahead == "off")
        forced_read_ahead = {LONG_MAX, 0};
    if (mode == "threads")
        return load_with_threads(count, argv[4], flags);
    if (mode == "processes")
        return load_with_processes(count, argv[4], flags);
    return usage();
}
