/* SPDX-FileCopyrightText: 2026 the kelvane developers */
/* SPDX-License-Identifier: MIT */

/*
 * Runs one command for the benchmark and reports how long it took and how
 * much memory it held at its peak:
 *
 *   kelvane_launch [--times N] command [argument...]
 *
 * The command inherits standard output, its standard error goes to
 * /dev/null, and the report "seconds peak-RSS-KiB wait-status" goes to this
 * program's standard error. The benchmark driver grows as it checks large
 * documents, and a child forked from it would count the driver's pages in
 * its peak RSS; forked from this small program instead, the command's peak
 * is its own. With --times, the command runs N times, one after another:
 * the report gives the time of all the runs, the largest peak, and the
 * first wait status that is not 0 (or 0).
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* Runs the command once; gives its wait status, or -1, and its peak. */
static int run_once(char **command, long *peak_rss_kib) {
    pid_t child = fork();
    if (child < 0) {
        perror("fork");
        return -1;
    }
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 2) < 0)
            _exit(127);
        execvp(command[0], command);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child) {
        perror("wait4");
        return -1;
    }
    if (usage.ru_maxrss > *peak_rss_kib)
        *peak_rss_kib = usage.ru_maxrss;
    return status;
}

int main(int argc, char **argv) {
    long times = 1;
    char **command = argv + 1;
    if (argc > 3 && strcmp(argv[1], "--times") == 0) {
        times = atol(argv[2]);
        command = argv + 3;
    }
    if (!*command || times < 1) {
        fputs("usage: kelvane_launch [--times N] command [argument...]\n", stderr);
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    long peak_rss_kib = 0;
    int first_failure = 0;
    for (long i = 0; i < times; ++i) {
        int status = run_once(command, &peak_rss_kib);
        if (status < 0)
            return 1;
        if (status != 0 && first_failure == 0)
            first_failure = status;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    double seconds =
        (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    fprintf(stderr, "%.9f %ld %d\n", seconds, peak_rss_kib, first_failure);
    return 0;
}
