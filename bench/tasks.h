// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Counting a process's threads, as the benchmark's programs count helpers.
#ifndef KELVANE_BENCH_TASKS_H
#define KELVANE_BENCH_TASKS_H

#include <string>

#include <dirent.h>
#include <sys/types.h>

// The threads of process `pid`, 0 once it is gone.
inline int tasks_of(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/task";
    DIR *tasks = opendir(path.c_str());
    if (!tasks)
        return 0;
    int count = 0;
    while (const struct dirent *task = readdir(tasks))
        count += task->d_name[0] != '.';
    closedir(tasks);
    return count;
}

#endif
