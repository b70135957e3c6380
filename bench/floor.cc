// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The floor of any folder listing: open the folder, read every entry and
// read each one's status relative to the folder, printing only a count.
// Whatever a listing costs beyond this is the listing's own work.
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s folder\n", argv[0]);
        return 2;
    }
    DIR *folder = opendir(argv[1]);
    if (!folder) {
        std::perror(argv[1]);
        return 1;
    }
    long count = 0;
    struct stat status;
    while (const struct dirent *entry = readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (fstatat(dirfd(folder), entry->d_name, &status, 0) == 0)
            ++count;
    }
    closedir(folder);
    std::printf("%ld\n", count);
    return 0;
}
