// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Counting a process's threads, as the benchmark's programs count helpers,
// and its descriptors.
#ifndef KELVANE_BENCH_TASKS_H
#define KELVANE_BENCH_TASKS_H

#include <string>

#include <dirent.h>
#include <sys/types.h>

// The entries of a folder of /proc, 0 when it is gone.
inline int entries_of(const std::string &path) {
    DIR *folder = opendir(path.c_str());
    if (!folder)
        return 0;
    int count = 0;
    while (const struct dirent *entry = readdir(folder))
        count += entry->d_name[0] != '.';
    closedir(folder);
    return count;
}

// The threads of process `pid`, 0 once it is gone.
inline int tasks_of(pid_t pid) {
    return entries_of("/proc/" + std::to_string(pid) + "/task");
}

#endif
