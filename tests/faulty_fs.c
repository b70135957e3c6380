// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// A file system that fails on purpose, for the tests and the benchmark: a
// read-only mirror of a folder, mounted with FUSE, in which
//
// - every status read of an entry whose name starts with an errno name and a
//   dash ("eio-", "eacces-", "estale-", "enomem-", "enoent-", "eloop-",
//   "enotdir-") fails with that error, while reading the folder lists it;
// - with --readdir-fail-after=K, reading a folder fails with EIO once K
//   entries besides "." and ".." have been given;
// - with --status-latency-us=N, every status read waits N microseconds
//   first, as a network share or a slow card would;
// - with --threads=N, requests are served on up to N threads at once
//   (16 by default): a network share or a phone serves a few requests at
//   a time, a cloud mount a hundred or more.
//
// Nothing is cached in the kernel (entry, attribute and negative lookup
// timeouts are 0), so every status read reaches this program. Folders are
// read in name order, so that which failing entry comes first is known.
//
//   faulty_fs SOURCE MOUNTPOINT [--readdir-fail-after=K]
//             [--status-latency-us=N] [--threads=N] [--time-limit=SECONDS]
//
// It stays in the foreground until the mount is taken away (umount, or
// fusermount3 -u) or it gets SIGTERM, and unmounts on the way out; the time
// limit sends it SIGTERM should its owner never come back.
#define FUSE_USE_VERSION 312
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fuse.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static char source[PATH_MAX];
static long readdir_fail_after = -1; // no failure
static long status_latency_us = 0;
static long server_threads = 16;

static const struct {
    const char *prefix;
    int error;
} injected[] = {
    {"eio-", EIO},       {"eacces-", EACCES}, {"estale-", ESTALE},   {"enomem-", ENOMEM},
    {"enoent-", ENOENT}, {"eloop-", ELOOP},   {"enotdir-", ENOTDIR},
};

// The error a status read of `path` is to fail with, or 0.
static int injected_error(const char *path) {
    const char *slash = strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    for (size_t i = 0; i < sizeof injected / sizeof injected[0]; ++i)
        if (strncmp(name, injected[i].prefix, strlen(injected[i].prefix)) == 0)
            return injected[i].error;
    return 0;
}

// The path in the mirrored folder; false when it doesn't fit.
static int source_path(const char *path, char (*full)[PATH_MAX]) {
    return snprintf(*full, sizeof *full, "%s%s", source, path) < (int)sizeof *full;
}

static void wait_as_a_slow_device(void) {
    if (status_latency_us <= 0)
        return;
    struct timespec pause = {status_latency_us / 1000000,
                             (status_latency_us % 1000000) * 1000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

static void *mirror_init(struct fuse_conn_info *connection, struct fuse_config *config) {
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    // Entries come without attributes, so each one is looked up on its own.
    connection->want &= ~(unsigned)(FUSE_CAP_READDIRPLUS | FUSE_CAP_READDIRPLUS_AUTO);
    return NULL;
}

static int mirror_getattr(const char *path, struct stat *status,
                          struct fuse_file_info *file) {
    (void)file;
    wait_as_a_slow_device();
    const int error = injected_error(path);
    if (error)
        return -error;
    char full[PATH_MAX];
    if (!source_path(path, &full))
        return -ENAMETOOLONG;
    return lstat(full, status) == 0 ? 0 : -errno;
}

static int mirror_readlink(const char *path, char *target, size_t size) {
    char full[PATH_MAX];
    if (!source_path(path, &full))
        return -ENAMETOOLONG;
    const ssize_t length = readlink(full, target, size - 1);
    if (length < 0)
        return -errno;
    target[length] = '\0';
    return 0;
}

// A folder's names, read whole when it is opened and sorted.
struct names {
    size_t count;
    char **name;
};

static int by_name(const void *a, const void *b) {
    return strcmp(*(char *const *)a, *(char *const *)b);
}

static void release_names(struct names *names) {
    for (size_t i = 0; i < names->count; ++i)
        free(names->name[i]);
    free(names->name);
    free(names);
}

static int mirror_opendir(const char *path, struct fuse_file_info *file) {
    char full[PATH_MAX];
    if (!source_path(path, &full))
        return -ENAMETOOLONG;
    DIR *folder = opendir(full);
    if (!folder)
        return -errno;
    struct names *names = calloc(1, sizeof *names);
    size_t capacity = 0;
    int error = names ? 0 : ENOMEM;
    for (struct dirent *entry; !error && (entry = readdir(folder));) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        if (names->count == capacity) {
            capacity = capacity ? 2 * capacity : 64;
            char **grown = realloc(names->name, capacity * sizeof *grown);
            if (!grown) {
                error = ENOMEM;
                break;
            }
            names->name = grown;
        }
        if (!(names->name[names->count] = strdup(entry->d_name)))
            error = ENOMEM;
        else
            ++names->count;
    }
    closedir(folder);
    if (error) {
        if (names)
            release_names(names);
        return -error;
    }
    qsort(names->name, names->count, sizeof *names->name, by_name);
    file->fh = (uint64_t)(uintptr_t)names;
    return 0;
}

// Offsets count "." and ".." as 0 and 1, the folder's names from 2.
static int mirror_readdir(const char *path, void *buffer, fuse_fill_dir_t fill,
                          off_t offset, struct fuse_file_info *file,
                          enum fuse_readdir_flags flags) {
    (void)path;
    (void)flags;
    const struct names *names = (const struct names *)(uintptr_t)file->fh;
    const long total = (long)names->count + 2;
    for (long i = offset; i < total; ++i) {
        if (readdir_fail_after >= 0 && i - 2 >= readdir_fail_after)
            return i == offset ? -EIO : 0;
        const char *name = i == 0 ? "." : i == 1 ? ".." : names->name[i - 2];
        if (fill(buffer, name, NULL, i + 1, 0))
            break;
    }
    return 0;
}

static int mirror_releasedir(const char *path, struct fuse_file_info *file) {
    (void)path;
    release_names((struct names *)(uintptr_t)file->fh);
    return 0;
}

static const struct fuse_operations mirror = {
    .getattr = mirror_getattr,
    .readlink = mirror_readlink,
    .opendir = mirror_opendir,
    .readdir = mirror_readdir,
    .releasedir = mirror_releasedir,
    .init = mirror_init,
};

// Mounts the mirror and serves it on up to `server_threads` threads, kept
// once started, until it is unmounted or told to stop.
static int serve(const char *mount_point) {
    char *fuse_argv[] = {"faulty_fs", "-o", "ro,default_permissions,fsname=faulty_fs",
                         NULL};
    struct fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);
    struct fuse *fuse = fuse_new(&args, &mirror, sizeof mirror, NULL);
    if (!fuse)
        return 1;
    int status = 1;
    if (fuse_mount(fuse, mount_point) == 0) {
        struct fuse_session *session = fuse_get_session(fuse);
        if (fuse_set_signal_handlers(session) == 0) {
            struct fuse_loop_config *config = fuse_loop_cfg_create();
            fuse_loop_cfg_set_max_threads(config, (unsigned)server_threads);
            fuse_loop_cfg_set_idle_threads(config, (unsigned)server_threads);
            status = fuse_loop_mt(fuse, config) == 0 ? 0 : 1;
            fuse_loop_cfg_destroy(config);
            fuse_remove_signal_handlers(session);
        }
        fuse_unmount(fuse);
    }
    fuse_destroy(fuse);
    return status;
}

static void end_by_time_limit(int signal_number) {
    (void)signal_number;
    kill(getpid(), SIGTERM); // serve() unmounts on SIGTERM
}

static int usage(const char *program) {
    fprintf(stderr,
            "usage: %s SOURCE MOUNTPOINT [--readdir-fail-after=K] "
            "[--status-latency-us=N] [--threads=N] [--time-limit=SECONDS]\n",
            program);
    return 2;
}

static int long_option(const char *argument, const char *name, long *value) {
    const size_t length = strlen(name);
    if (strncmp(argument, name, length) != 0)
        return 0;
    char *end;
    *value = strtol(argument + length, &end, 10);
    return argument[length] != '\0' && *end == '\0';
}

int main(int argc, char **argv) {
    const char *operands[2];
    int count = 0;
    long time_limit = 0;
    for (int i = 1; i < argc; ++i) {
        if (long_option(argv[i], "--readdir-fail-after=", &readdir_fail_after) ||
            long_option(argv[i], "--status-latency-us=", &status_latency_us) ||
            long_option(argv[i], "--threads=", &server_threads) ||
            long_option(argv[i], "--time-limit=", &time_limit))
            continue;
        if (argv[i][0] == '-' || count == 2)
            return usage(argv[0]);
        operands[count++] = argv[i];
    }
    if (count != 2 || server_threads < 1 || server_threads > 1024)
        return usage(argv[0]);
    if (!realpath(operands[0], source)) {
        perror(operands[0]);
        return 1;
    }
    if (strcmp(source, "/") == 0)
        source[0] = '\0';

    // Should the test that started it die, the mount goes with it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // Latencies as asked: the default timer slack would add up to 50 us to
    // every wait.
    prctl(PR_SET_TIMERSLACK, 1UL);
    if (time_limit > 0) {
        signal(SIGALRM, end_by_time_limit);
        alarm((unsigned)time_limit);
    }
    return serve(operands[1]);
}
