// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

#include "faulty_mount.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

bool mounted_on(const std::string &path) {
    struct stat inside, outside;
    return stat(path.c_str(), &inside) == 0 &&
           stat((path + "/..").c_str(), &outside) == 0 && inside.st_dev != outside.st_dev;
}

namespace {

// Waits up to `seconds` for `child` to end; true when it did.
bool ended_within(pid_t child, int seconds) {
    for (int waited = 0; waited < seconds * 100; ++waited) {
        if (waitpid(child, nullptr, WNOHANG) == child)
            return true;
        usleep(10000);
    }
    return false;
}

std::string how_it_ended(int status) {
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    return WIFSIGNALED(status) ? std::string("signal ") + strsignal(WTERMSIG(status))
                               : "wait status " + std::to_string(status);
}

void unmount(const std::string &path) {
    if (geteuid() == 0) {
        umount2(path.c_str(), MNT_DETACH);
        return;
    }
    const pid_t child = fork();
    if (child == 0) {
        execlp("fusermount3", "fusermount3", "-u", "-z", path.c_str(), nullptr);
        _exit(127);
    }
    if (child > 0)
        waitpid(child, nullptr, 0);
}

} // namespace

std::string faulty_fs_unusable(const std::string &program) {
    if (program.empty())
        return "faulty_fs was not built: libfuse3 was missing (Debian: libfuse3-dev)";
    if (access("/dev/fuse", R_OK | W_OK) != 0)
        return std::string("/dev/fuse can't be used here: ") + std::strerror(errno);
    return "";
}

std::string mount_faulty_fs(const std::string &program, const std::string &source,
                            const std::string &mount_point,
                            const std::vector<std::string> &options, pid_t &server) {
    std::vector<std::string> args{program, source, mount_point};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    server = fork();
    if (server < 0)
        return std::string("fork: ") + std::strerror(errno);
    if (server == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    for (int waited = 0; waited < 1000; ++waited) {
        if (mounted_on(mount_point))
            return "";
        int status;
        if (waitpid(server, &status, WNOHANG) == server) {
            server = -1;
            return "faulty_fs ended before its mount came up (" + how_it_ended(status) +
                   ")";
        }
        usleep(10000);
    }
    unmount_faulty_fs(mount_point, server);
    server = -1;
    return "faulty_fs did not mount " + mount_point + " within 10 s";
}

void unmount_faulty_fs(const std::string &mount_point, pid_t server) {
    unmount(mount_point);
    if (server > 0 && !ended_within(server, 5)) {
        kill(server, SIGKILL);
        waitpid(server, nullptr, 0);
    }
}
