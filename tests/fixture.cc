// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

#include "fixture.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <linux/openat2.h>
#include <locale.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "faulty_mount.h"
#include "kelvane.h"
#include "xml_reader.h"

namespace {

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "fixture: %s: %s\n", what.c_str(), std::strerror(errno));
    std::abort();
}

int remove_one(const char *path, const struct stat *, int kind, struct FTW *) {
    if (kind == FTW_DP)
        return rmdir(path);
    return unlink(path);
}

std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) != 0;) {
        if (got < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Children that are to run under another id may not be able to reach the
// build tree; they run a copy of the program and its library instead.
std::string program_copy_folder() {
    static temp_folder copies;
    static bool copied = false;
    if (!copied) {
        std::ifstream program(KELVANE_PROGRAM, std::ios::binary);
        std::ofstream(copies / "kelvane", std::ios::binary) << program.rdbuf();
#ifdef KELVANE_LIBRARY
        std::ifstream library(KELVANE_LIBRARY, std::ios::binary);
        std::ofstream(copies / KELVANE_LIBRARY_SONAME, std::ios::binary)
            << library.rdbuf();
#endif
        chmod((copies / "kelvane").c_str(), 0755);
        copied = true;
    }
    return copies.path;
}

bool switch_ids(uid_t uid, gid_t gid) {
    if (!running_as_root())
        return true;
    return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
}

// In a child whose exec failed, on its standard error: why. A program
// built for another architecture starts only where the system hands it to
// its emulator by itself (binfmt_misc): a test run through the emulator
// alone can't start another one.
void report_exec_failure(const std::string &program) {
    const int error = errno;
    std::string text = "cannot start " + program + ": " + std::strerror(error);
    if (error == ENOEXEC)
        text += " (a program of another architecture: register its emulator in "
                "/proc/sys/fs/binfmt_misc, see README, Cross-compiling)";
    text += "\n";
    [[maybe_unused]] const ssize_t written = write(2, text.data(), text.size());
}

} // namespace

temp_folder::temp_folder() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base && *base ? base : "/tmp") + "/kelvane-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        fail("mkdtemp");
    path = pattern;
    chmod(path.c_str(), 0755);
}

temp_folder::~temp_folder() {
    // Give back every permission first, so that folders a test closed can
    // be emptied by a user other than root.
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int kind, struct FTW *) {
            if (kind == FTW_D || kind == FTW_DNR)
                chmod(p, 0700);
            return 0;
        },
        16, FTW_PHYS);
    nftw(path.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
}

void make_file(const std::string &path, mode_t mode, const std::string &content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        fail("create " + path);
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        fail("write " + path);
    close(fd);
    if (chmod(path.c_str(), mode) != 0)
        fail("chmod " + path);
}

void make_folder(const std::string &path, mode_t mode) {
    if (mkdir(path.c_str(), 0700) != 0 || chmod(path.c_str(), mode) != 0)
        fail("mkdir " + path);
}

std::string written_by(const std::function<void(std::FILE *)> &write) {
    char *buffer = nullptr;
    std::size_t size = 0;
    std::FILE *out = open_memstream(&buffer, &size);
    if (!out)
        fail("open_memstream");
    write(out);
    std::fclose(out);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

listing list(const char *path, unsigned flags) {
    listing result{};
    result.document =
        written_by([&](std::FILE *out) { result.result = kelvane(out, path, flags); });
    return result;
}

std::vector<std::string> lines_of(const std::string &document) {
    std::vector<std::string> lines;
    std::istringstream in(document);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> entry_lines(const std::string &document) {
    std::vector<std::string> entries;
    for (const std::string &line : lines_of(document))
        if (line.starts_with("  <file ") || line.starts_with("  <folder "))
            entries.push_back(line);
    return entries;
}

std::string attribute(const std::string &line, const std::string &name) {
    const std::string key = " " + name + "=\"";
    std::size_t start = line.find(key);
    if (start == std::string::npos)
        return "<absent>";
    start += key.size();
    return line.substr(start, line.find('"', start) - start);
}

std::string perm_letters(const std::string &line) {
    return attribute(line, "user-perm") + "|" + attribute(line, "group-perm") + "|" +
           attribute(line, "other-perm");
}

std::string line_for(const std::string &document, const std::string &name) {
    for (const std::string &line : entry_lines(document))
        if (attribute(line, "name") == name)
            return line;
    return "";
}

std::optional<std::vector<std::string>> parsed_names(const std::string &document) {
#ifdef XML_READER_PROGRAM
    // This target has no libxml2: the build machine's reads the document.
    temp_folder scratch;
    const std::string path = scratch / "listing.xml";
    std::ofstream(path, std::ios::binary) << document;
    run_options options;
    options.program = XML_READER_PROGRAM;
    const run_result read = run_program({path}, options);
    if (read.status == 1)
        return std::nullopt;
    if (read.status != 0)
        fail("xml_reader " + std::to_string(read.status) + ": " + read.err);
    std::vector<std::string> names;
    for (std::size_t at = 0, end; (end = read.out.find('\0', at)) != std::string::npos;
         at = end + 1)
        names.push_back(read.out.substr(at, end - at));
    return names;
#else
    return names_read_by_libxml2(document);
#endif
}

bool well_formed(const std::string &document) {
    return parsed_names(document).has_value();
}

bool one_complete_document(const std::string &text) {
    const std::string end = "</folder-listing>\n";
    return text.starts_with("<?xml version=\"1.0\" encoding=\"") && text.ends_with(end) &&
           text.find("<?xml", 1) == std::string::npos &&
           text.find(end) == text.size() - end.size();
}

int listing_threads() {
    int count = 0;
    DIR *tasks = opendir("/proc/self/task");
    while (const struct dirent *task = tasks ? readdir(tasks) : nullptr) {
        if (task->d_name[0] == '.')
            continue;
        // Few system calls: under valgrind each one waits its turn.
        char name[16];
        const int comm =
            openat(dirfd(tasks), (std::string(task->d_name) + "/comm").c_str(),
                   O_RDONLY | O_CLOEXEC);
        const ssize_t got = comm >= 0 ? read(comm, name, sizeof name) : -1;
        if (comm >= 0)
            close(comm);
        count += got >= 8 && std::string_view(name, 8) == "kelvane-";
    }
    if (tasks)
        closedir(tasks);
    return count;
}

int listing_threads_once_gone() {
    int threads = listing_threads();
    for (int wait = 0; wait < 2000 && threads != 0; ++wait) {
        usleep(1000);
        threads = listing_threads();
    }
    return threads;
}

int open_descriptors() {
    DIR *fds = opendir("/proc/self/fd");
    if (!fds)
        fail("opendir /proc/self/fd");
    int count = 0;
    while (const struct dirent *entry = readdir(fds))
        count += entry->d_name[0] != '.';
    closedir(fds);
    return count - 1; // the one just used to read the folder
}

working_folder::working_folder(const std::string &path) {
    char here[PATH_MAX];
    if (!getcwd(here, sizeof here) || chdir(path.c_str()) != 0)
        fail("chdir " + path);
    previous = here;
}

working_folder::~working_folder() {
    if (chdir(previous.c_str()) != 0)
        fail("chdir back");
}

bool running_as_root() {
    return geteuid() == 0;
}

bool locale_available(const char *name) {
    locale_t locale = newlocale(LC_ALL_MASK, name, nullptr);
    if (!locale)
        return false;
    freelocale(locale);
    return true;
}

scoped_locale::scoped_locale(const char *name) : previous(setlocale(LC_ALL, nullptr)) {
    if (!setlocale(LC_ALL, name))
        fail(std::string("setlocale ") + name);
}

scoped_locale::~scoped_locale() {
    setlocale(LC_ALL, previous.c_str());
}

std::string as_user(uid_t uid, gid_t gid, const std::function<std::string()> &body) {
    return in_child([&] {
        // Effective ids only, as a server that changes identity per client does.
        bool switched =
            setgroups(0, nullptr) == 0 && setegid(gid) == 0 && seteuid(uid) == 0;
        return switched ? body() : "<no switch>";
    });
}

std::string in_child(const std::function<std::string()> &body) {
    int channel[2];
    if (pipe(channel) != 0)
        fail("pipe");
    pid_t child = fork();
    if (child < 0)
        fail("fork");
    if (child == 0) {
        close(channel[0]);
        std::string report = body();
        ssize_t ignored = write(channel[1], report.data(), report.size());
        (void)ignored;
        _exit(0);
    }
    close(channel[1]);
    std::string report = read_all(channel[0]);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return report;
}

run_result run_program(const std::vector<std::string> &args, const run_options &options) {
    temp_folder capture;
    const std::string out_path =
        options.stdout_path.empty() ? capture / "out" : options.stdout_path;
    const std::string err_path = capture / "err";
    chmod(capture.path.c_str(), 0777);
    std::string program = options.program.empty() ? KELVANE_PROGRAM : options.program;
    std::vector<std::string> env = options.env;
    // Locales made under LOCPATH (no root needed) are found by the tests
    // that check for them, so the program must find them too.
    const char *locpath = std::getenv("LOCPATH");
    const auto sets_locpath = [](const std::string &entry) {
        return entry.starts_with("LOCPATH=");
    };
    if (locpath && std::none_of(env.begin(), env.end(), sets_locpath))
        env.push_back(std::string("LOCPATH=") + locpath);
    if (options.unprivileged && running_as_root() && options.program.empty()) {
        const std::string copies = program_copy_folder();
        program = copies + "/kelvane";
        env.push_back("LD_LIBRARY_PATH=" + copies);
    }

    pid_t child = fork();
    if (child < 0)
        fail("fork");
    if (child == 0) {
        int out = options.stdout_fd >= 0
                      ? options.stdout_fd
                      : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        if (chdir(options.cwd.c_str()) != 0)
            _exit(126);
        if (options.unprivileged && !switch_ids(child_uid, child_gid))
            _exit(126);
        std::vector<char *> argv{program.data()};
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        std::vector<char *> envp;
        for (const std::string &entry : env)
            envp.push_back(const_cast<char *>(entry.c_str()));
        envp.push_back(nullptr);
        if (options.before_exec)
            options.before_exec();
        alarm(options.time_limit); // kept across exec
        execve(program.c_str(), argv.data(), envp.data());
        report_exec_failure(program);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    run_result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out =
        options.stdout_path.empty() && options.stdout_fd < 0 ? read_file(out_path) : "";
    result.err = read_file(err_path);
    return result;
}

namespace {

#ifdef FAULTY_FS_PROGRAM
const std::string faulty_fs_program = FAULTY_FS_PROGRAM;
#else
const std::string faulty_fs_program;
#endif

} // namespace

std::string faulty_fs_missing() {
    return faulty_fs_unusable(faulty_fs_program);
}

std::string faulty_fs_dates_past_2038_missing() {
#if defined(FAULTY_FS_TIME_BITS) && FAULTY_FS_TIME_BITS < 64
    return "this architecture's libfuse3 is built with a 32-bit time_t: its mirror can't "
           "carry a time past January 2038";
#else
    return "";
#endif
}

faulty_mount::faulty_mount(const std::string &source,
                           const std::vector<std::string> &options) {
    const std::string mount_point = where / "mirror";
    make_folder(mount_point);
    std::vector<std::string> with_limit{"--time-limit=600"};
    with_limit.insert(with_limit.end(), options.begin(), options.end());
    const std::string problem =
        mount_faulty_fs(faulty_fs_program, source, mount_point, with_limit, server);
    if (problem.empty())
        path = mount_point;
    else
        ADD_FAILURE() << problem;
}

faulty_mount::~faulty_mount() {
    if (server > 0)
        unmount_faulty_fs(path, server);
}

std::string openat2_missing() {
    struct open_how how = {};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH;
    const long descriptor = syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how);
    if (descriptor >= 0) {
        close(static_cast<int>(descriptor));
        return "";
    }
    return std::string("openat2 is not available here (") + std::strerror(errno) +
           "): a kernel before 5.6, or valgrind 3.19, which does not know it";
}

open_folder_handle::open_folder_handle(const std::string &path)
    : descriptor(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

open_folder_handle::~open_folder_handle() {
    if (descriptor >= 0)
        close(descriptor);
}
