/* SPDX-FileCopyrightText: 2026 the kelvane developers */
/* SPDX-License-Identifier: MIT */

/*
 * Runs one command for the benchmark and reports how long it took and how
 * much memory it held at its peak:
 *
 *   kelvane_launch command [argument...]
 *
 * The command inherits standard output, its standard error goes to
 * /dev/null, and the report "seconds peak-RSS-KiB wait-status" goes to this
 * program's standard error. The benchmark driver grows as it checks large
 * documents, and a child forked from it would count the driver's pages in
 * its peak RSS; forked from this small program instead, the command's peak
 * is its own.
 */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs("usage: kelvane_launch command [argument...]\n", stderr);
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = fork();
    if (child < 0) {
        perror("fork");
        return 1;
    }
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 2) < 0)
            _exit(127);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child) {
        perror("wait4");
        return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    double seconds =
        (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    fprintf(stderr, "%.9f %ld %d\n", seconds, usage.ru_maxrss, status);
    return 0;
}
