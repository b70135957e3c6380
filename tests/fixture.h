// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Helpers shared by the tests: fixture trees in a fresh temporary folder,
// listings captured in memory, the program run as a child, and children
// that run under other numeric user and group ids.
#ifndef KELVANE_TESTS_FIXTURE_H
#define KELVANE_TESTS_FIXTURE_H

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

// A fresh folder under the system's temporary folder, removed with all it
// holds when it goes out of scope. Mode 0755, so that children running
// under other ids can reach what the test places in it.
struct temp_folder {
    std::string path;
    temp_folder();
    ~temp_folder();
    temp_folder(const temp_folder &) = delete;
    temp_folder &operator=(const temp_folder &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

void make_file(const std::string &path, mode_t mode = 0644,
               const std::string &content = "");
void make_folder(const std::string &path, mode_t mode = 0755);

// Everything `write` wrote to an in-memory stream.
std::string written_by(const std::function<void(std::FILE *)> &write);

// What one call of kelvane() wrote and returned.
struct listing {
    int result;
    std::string document;
};
listing list(const char *path, unsigned flags = 0);

// The lines of a document, without their line feeds.
std::vector<std::string> lines_of(const std::string &document);
// The entry lines of a document: those that describe a file or folder.
std::vector<std::string> entry_lines(const std::string &document);
// The value of `attribute` in an element line, or "<absent>".
std::string attribute(const std::string &line, const std::string &name);
// The three permission texts of an element line, as "user|group|other".
std::string perm_letters(const std::string &line);
// The line of the entry called `name` (as written, escaped), or "" when none.
std::string line_for(const std::string &document, const std::string &name);

// True when libxml2 parses the document as well-formed XML.
bool well_formed(const std::string &document);
// The name attributes of the entry elements as libxml2 reads them back (in
// UTF-8, references resolved), in document order; nothing when the document
// is not well-formed.
std::optional<std::vector<std::string>> parsed_names(const std::string &document);
// True when `text` is exactly one document, from the XML declaration to the
// closing tag of the root and its line feed.
bool one_complete_document(const std::string &text);

// The number of file descriptors this process has open.
int open_descriptors();
// The listing's own threads alive now, told by their names ("kelvane-...",
// helper_thread.h): the caller's threads, and those of a sanitizer or an
// emulator, don't count.
int listing_threads();
// The same, once none is left, or after two seconds if some still are: a
// joined thread's task leaves /proc a moment after the join returns, and
// under an emulator (qemu-user) a good while after.
int listing_threads_once_gone();

// Changes the working folder for the scope, and back.
struct working_folder {
    std::string previous;
    explicit working_folder(const std::string &path);
    ~working_folder();
};

bool running_as_root();

// Locales in character sets other than UTF-8 and ASCII, one of one byte per
// character and one of several; CI makes them with localedef. A test that
// needs one skips, saying so, where it is missing.
constexpr const char *latin1_locale = "en_US.ISO-8859-1";
constexpr const char *eucjp_locale = "ja_JP.EUC-JP";
bool locale_available(const char *name);

#define REQUIRE_LOCALE(name)                                                             \
    if (!locale_available(name))                                                         \
    GTEST_SKIP() << "locale " << (name) << " is missing: make it with localedef"

// Sets the locale of the process for the scope, and back.
struct scoped_locale {
    std::string previous;
    explicit scoped_locale(const char *name);
    ~scoped_locale();
};

#define REQUIRE_ROOT()                                                                   \
    if (!running_as_root())                                                              \
    GTEST_SKIP() << "needs root: fixtures owned by other ids, children switched to them"

// Unprivileged numeric ids for children and for fixture owners; never
// looked up in the user database.
constexpr uid_t child_uid = 30001;
constexpr gid_t child_gid = 30002;
constexpr uid_t other_uid = 20001;
constexpr gid_t other_gid = 20002;

// Runs `body` in a forked child and gives back what it returned.
std::string in_child(const std::function<std::string()> &body);

// Runs `body` in a forked child whose effective user and group ids are
// `uid` and `gid` (with no supplementary groups), and gives back what it
// returned. A child that could not switch ids gives "<no switch>".
std::string as_user(uid_t uid, gid_t gid, const std::function<std::string()> &body);

// The built program (or another one), run as a child with standard output
// and standard error kept apart.
struct run_result {
    int status; // the exit status, or 128 + signal number
    std::string out;
    std::string err;
};
struct run_options {
    std::string program; // empty: the built kelvane
    std::string cwd = ".";
    std::string stdout_path; // empty: captured
    int stdout_fd = -1;      // when set, standard output instead of stdout_path
    // The whole environment, but for LOCPATH, which is carried through from
    // the test's own unless set here.
    std::vector<std::string> env{"LC_ALL=C"};
    bool unprivileged = false; // run as child_uid/child_gid (when root)
    // Seconds the run may take: a program that hangs is ended by SIGALRM
    // (status 142), so that no test waits for ever.
    unsigned time_limit = 60;
    std::function<void()> before_exec; // runs in the child, just before exec
};
run_result run_program(const std::vector<std::string> &args,
                       const run_options &options = {});

// A mount of the faulty file system (faulty_fs.c): a read-only mirror of
// `source` whose entries named "eio-...", "eacces-...", ... fail their status
// reads with that error, taking the program's options (such as
// "--readdir-fail-after=3"). Mounted for the scope and taken away on every
// way out, the test failing included; `path` is empty when the mount did
// not come up within ten seconds (the failure is recorded).
struct faulty_mount {
    temp_folder where;
    std::string path;
    pid_t server = -1;
    explicit faulty_mount(const std::string &source,
                          const std::vector<std::string> &options = {});
    ~faulty_mount();
    faulty_mount(const faulty_mount &) = delete;
    faulty_mount &operator=(const faulty_mount &) = delete;
};

// Why the faulty file system can't be mounted here (no /dev/fuse, or no
// libfuse3 when the tests were built), or "" when it can.
std::string faulty_fs_missing();

// Why the faulty file system, where it runs, can't mirror times past
// January 2038 on this architecture, or "" when it can.
std::string faulty_fs_dates_past_2038_missing();

// Skips where FUSE is missing, saying why; fails instead where the
// environment says the file system must be there (CI sets
// KELVANE_TESTS_NEED_FUSE=1), so that these tests never skip unseen.
#define REQUIRE_FAULTY_FS()                                                              \
    REQUIRE_PRESENT(faulty_fs_missing(), "KELVANE_TESTS_NEED_FUSE")

// Skips when `missing_text` (what some part lacks here) is not empty, saying
// it; fails instead where the environment variable `needed` is set.
#define REQUIRE_PRESENT(missing_text, needed)                                            \
    if (const std::string missing = (missing_text); !missing.empty()) {                  \
        if (std::getenv(needed))                                                         \
            FAIL() << missing;                                                           \
        GTEST_SKIP() << missing;                                                         \
    }

// Why listings confined beneath a folder can't be made here, or "" when
// they can: they need openat2, which a kernel before 5.6 lacks, and so does
// valgrind 3.19, under which the memcheck run goes.
std::string openat2_missing();

// Skips where openat2 is missing, saying why; fails instead where the
// environment says it must be there (CI sets KELVANE_TESTS_NEED_OPENAT2=1
// for every run but valgrind's).
#define REQUIRE_OPENAT2() REQUIRE_PRESENT(openat2_missing(), "KELVANE_TESTS_NEED_OPENAT2")

// A folder opened for the scope, as the root of listings; -1 when it could
// not be.
struct open_folder_handle {
    int descriptor;
    explicit open_folder_handle(const std::string &path);
    ~open_folder_handle();
    open_folder_handle(const open_folder_handle &) = delete;
    open_folder_handle &operator=(const open_folder_handle &) = delete;
};

#endif
