// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Mounting faulty_fs (faulty_fs.c) and taking it down again, for the tests
// and the benchmark alike.
#ifndef KELVANE_TESTS_FAULTY_MOUNT_H
#define KELVANE_TESTS_FAULTY_MOUNT_H

#include <string>
#include <vector>

#include <sys/types.h>

// True when something is mounted on `path`: it lies on another device than
// the folder that holds it.
bool mounted_on(const std::string &path);

// Why faulty_fs can't be mounted here, or "" when it can: `program` is the
// built faulty_fs, empty when libfuse3 was missing from the build.
std::string faulty_fs_unusable(const std::string &program);

// Starts `program` serving a mirror of `source` on `mount_point` (an empty
// folder), with faulty_fs's `options`, and waits up to ten seconds for the
// mount to come up. Gives "" and sets `server`, or says why it failed (no
// server is left running then).
std::string mount_faulty_fs(const std::string &program, const std::string &source,
                            const std::string &mount_point,
                            const std::vector<std::string> &options, pid_t &server);

// Takes the mount away, lazily so that one still in use goes too, and ends
// its server: it exits once unmounted, or is killed after five seconds.
void unmount_faulty_fs(const std::string &mount_point, pid_t server);

#endif
