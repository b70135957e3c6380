/* SPDX-FileCopyrightText: 2026 the kelvane developers */
/* SPDX-License-Identifier: MIT */

/*
 * Preloaded into the program by the tests that run it out of file
 * descriptors. Once every library is loaded it lowers the soft limit on
 * open files to the lowest free descriptor, so that the program's first
 * open of its own fails with EMFILE. Lowering the limit before exec is no
 * use: the dynamic loader needs a descriptor to load the libraries, and
 * gives it back before the program runs.
 */
#include <sys/resource.h>
#include <unistd.h>

__attribute__((constructor)) static void lower_open_file_limit(void) {
    int lowest_free = dup(0);
    struct rlimit limit;
    if (lowest_free < 0 || close(lowest_free) != 0 ||
        getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    limit.rlim_cur = (rlim_t)lowest_free;
    setrlimit(RLIMIT_NOFILE, &limit);
}
