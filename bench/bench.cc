// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Times kelvane against the floor of any listing and against the usual
// tools: on fixture folders of many files, on a slow file system, and as a
// library called many times on a small folder, against an older build.
//
//   kelvane_bench [--entries 10000,200000] [--rounds 7] [--root DIR]
//                 [--kelvane PROGRAM] [--baseline-kelvane PROGRAM]
//                 [--baseline-library LIBRARY] [--check]
//                 [--only many,slow,load,reader,pulled,startup,small]
//
// --only runs the sections named (in their usual order), all by default.
//
// Fixtures are made once under the root folder and kept for later runs.
// Every command runs as a child with standard output on /dev/null, in
// interleaved rounds, from the root folder; the tables give medians.
//
// Many files: each fixture is listed twice, with its relative name as the
// operand and with the absolute path of a copy 16 folders deeper. A line
// per kelvane command then gives the growth of its peak RSS from the
// smallest entry count to the largest.
//
// Given --baseline-kelvane (the kelvane program of an older build), its
// `kelvane -tpog` runs beside this build's in every listing table.
//
// Slow file system: faulty_fs (tests/faulty_fs.c) mirrors a fixture of
// 2,000 files and holds every status request 50 us, 500 us, then 2 ms,
// serving up to 128 requests at once as a cloud mount would, and then 2 ms
// serving 10 at once, as a network share or a phone's card would; the
// floor, kelvane and (at 50 us) find are timed on the mount, against the
// floor on the same mount, and one more run of `kelvane -tpog` shows how
// many helper threads it kept. Where FUSE is missing these rows are
// skipped, saying why (or the run fails, where KELVANE_TESTS_NEED_FUSE is
// set, as in CI).
//
// Load: kelvane_load lists the largest fixture from 16 threads of one
// process at once, then from 8 processes at once, with the read-ahead on
// and (through the listing's test hook) off, in the same rounds; it counts
// the helper threads alive at once.
//
// Slow reader: `kelvane -tpog` on the largest fixture writes into a pipe
// that is drained 64 KiB every 10 ms, as a server's slow link would take
// it: into an empty pipe, drained from the start, and into a pipe already
// full, drained from 20 ms on (the output is then the limit before the walk
// decides anything); the program's threads are counted every millisecond,
// and every document must be the whole one.
//
// Pulled listings: kelvane_pull reads listings piece by piece through the
// library, as a server would: the first 32 KiB against the whole listing
// pushed into /dev/null, on the largest fixture and on the slow mount at
// 2 ms; the whole listing in 32 KiB and 1 KiB pieces, blocking and not;
// the peak RSS at the smallest and largest fixture, beside the whole
// document kept in memory (as is, or copied and erased from the front
// piece by piece); a reader away 2 ms after each 4 KiB on the slow mount;
// and 1,000 listings of the smallest fixture left open after 4 KiB each.
//
// Startup: `kelvane -tpog` on a folder of 20 files, against `ls -l` and
// `/bin/true` on it, each run 200 times in a row by the launcher: what a
// server that runs the program per request pays for starting it.
//
// Small folder: kelvane_repeat calls kelvane() 2,000 times in one process
// on a fixture of 100 files, through this build's libkelvane and, given
// --baseline-library (the libkelvane.so.1 of an older build), through that
// one too, in the same rounds.
//
// Before any timing, the documents are checked line by line (kelvane's on
// every fixture and on the mount, and one call's through each library), so
// that a broken build cannot look fast; --check stops there, and checks the
// slow file system at 50 us only.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "faulty_mount.h"
#include "kelvane.h"
#include "tasks.h"

namespace {

struct options {
    std::vector<long> entries{10000, 200000};
    int rounds = 7;
    std::string root = "/tmp/kelvane-bench";
    std::string kelvane = KELVANE_PROGRAM;
    std::string floor = FLOOR_PROGRAM;
    std::string launcher = LAUNCH_PROGRAM;
    std::string load = LOAD_PROGRAM;
    std::string pull = PULL_PROGRAM;
    std::string baseline_kelvane; // none given
#ifdef KELVANE_LIBRARY
    std::string library = KELVANE_LIBRARY;
    std::string repeater = REPEAT_PROGRAM;
#else
    std::string library; // a static build: nothing to load
    std::string repeater;
#endif
    std::string baseline_library; // none given
#ifdef FAULTY_FS_PROGRAM
    std::string faulty_fs = FAULTY_FS_PROGRAM;
#else
    std::string faulty_fs; // not built: no libfuse3
#endif
    bool check_only = false;
    std::vector<std::string> only; // the sections to run, all when empty
    bool confined = true; // openat2 is there for `kelvane --beneath`
};

// The slow file system while it is mounted: its faulty_fs server and its
// mount point. fail() takes it down before the process ends, so that no
// failure leaves a mount behind. Should the benchmark be killed instead,
// faulty_fs goes by itself: it asks for SIGTERM when its parent dies, and
// ends at its time limit anyway.
struct slow_mount {
    pid_t server = -1;
    std::string path;
};
slow_mount mounted;

void take_down_slow_mount() {
    if (mounted.server < 0)
        return;
    unmount_faulty_fs(mounted.path, mounted.server);
    mounted = {};
}

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "kelvane_bench: %s\n", what.c_str());
    take_down_slow_mount();
    std::exit(1);
}

[[noreturn]] void fail_errno(const std::string &what) {
    fail(what + ": " + std::strerror(errno));
}

// A small deterministic generator, so that every run builds the same tree.
struct generator {
    std::uint64_t state;
    std::uint64_t next() {
        state += 0x9e3779b97f4a7c15u;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    long below(long n) {
        return static_cast<long>(next() % static_cast<std::uint64_t>(n));
    }
};

// Every 100th entry is a folder, and every 97th has a name with characters
// that must be escaped.
bool is_folder(long i) {
    return i % 100 == 50;
}
bool needs_escaping(long i) {
    return i % 97 == 13 && !is_folder(i);
}

std::string entry_name(long i, generator &random) {
    char name[128];
    if (is_folder(i))
        std::snprintf(name, sizeof name, "album %05ld", i);
    else if (needs_escaping(i))
        std::snprintf(name, sizeof name, "notes & <draft> \"%ld\".txt", i);
    else
        switch (random.below(4)) {
        case 0: std::snprintf(name, sizeof name, "IMG_%07ld.jpg", i); break;
        case 1: std::snprintf(name, sizeof name, "report-%ld-final.pdf", i); break;
        case 2: std::snprintf(name, sizeof name, "%ld.txt", i); break;
        default:
            std::snprintf(name, sizeof name,
                          "a-rather-longer-name-for-a-file-of-the-archive-%ld.tar.gz", i);
        }
    return name;
}

// A file's size spans bytes to hundreds of megabytes (sparse, so cheap),
// its times spread over the years.
void make_entry(int folder, long i, generator &random) {
    const std::string name = entry_name(i, random);
    const time_t base = 1262304000; // 2010-01-01
    struct timespec times[2];
    times[1] = {base + random.below(16L * 365 * 86400), 0};       // modified
    times[0] = {times[1].tv_sec + random.below(365L * 86400), 0}; // accessed
    if (is_folder(i)) {
        if (mkdirat(folder, name.c_str(), 0755) != 0)
            fail_errno("mkdir " + name);
        if (utimensat(folder, name.c_str(), times, 0) != 0)
            fail_errno("utimensat " + name);
        return;
    }
    int file = openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (file < 0)
        fail_errno("create " + name);
    const off_t size =
        random.below(4) == 0 ? random.below(1L << 28) : random.below(1L << 16);
    if (ftruncate(file, size) != 0 || futimens(file, times) != 0)
        fail_errno("size or times of " + name);
    close(file);
}

void remove_tree(const std::string &path) {
    if (access(path.c_str(), F_OK) != 0)
        return;
    const std::string command = "rm -rf -- '" + path + "'";
    if (std::system(command.c_str()) != 0)
        fail("cannot remove " + path);
}

// Children run in the root folder, so a program given by a relative path is
// made absolute first; so is the root, for the deep fixtures' paths.
std::string absolute(const char *path) {
    char *resolved = realpath(path, nullptr);
    if (!resolved)
        fail_errno(path);
    std::string result = resolved;
    std::free(resolved);
    return result;
}

// How many folders below the root the deep fixtures lie.
constexpr int deep_levels = 16;

// The folder that holds the fixtures reached by a long absolute path: 16
// folders below the root, made when missing.
std::string deep_parent(const options &o) {
    std::string path = absolute(o.root.c_str());
    for (int level = 1; level <= deep_levels; ++level) {
        char name[16];
        std::snprintf(name, sizeof name, "/level%02d", level);
        path += name;
        if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
            fail_errno("mkdir " + path);
    }
    return path;
}

// The fixture for `count` entries in `parent`: made in a scratch folder and
// renamed into place when complete, so an interrupted run never leaves a
// short one. Gives its path.
std::string fixture(const std::string &parent, long count) {
    const std::string path = parent + "/" + std::to_string(count);
    if (access(path.c_str(), F_OK) == 0)
        return path;
    const std::string scratch = path + ".partial";
    remove_tree(scratch);
    if (mkdir(scratch.c_str(), 0755) != 0)
        fail_errno("mkdir " + scratch);
    std::fprintf(stderr, "making %s with %ld entries...\n", path.c_str(), count);
    int folder = open(scratch.c_str(), O_RDONLY | O_DIRECTORY);
    if (folder < 0)
        fail_errno("open " + scratch);
    generator random{static_cast<std::uint64_t>(count)};
    for (long i = 0; i < count; ++i)
        make_entry(folder, i, random);
    close(folder);
    if (rename(scratch.c_str(), path.c_str()) != 0)
        fail_errno("rename " + scratch);
    return path;
}

struct command {
    std::string label;
    std::vector<std::string> argv;
};

// The floor, kelvane with and without every attribute (and with every
// attribute confined beneath the folder that holds `folder`, with ls, and
// the older build's with every attribute, when given), find with the same
// fields when `with_find`, and ls when `with_ls`.
constexpr const char *baseline_label = "kelvane -tpog, older build";

std::vector<command> commands(const options &o, const std::string &folder,
                              bool with_ls = true, bool with_find = true) {
    std::vector<command> list{
        {"floor", {o.floor, folder}},
        {"kelvane -tpog", {o.kelvane, "-tpog", folder}},
        {"kelvane", {o.kelvane, folder}},
    };
    if (with_ls && o.confined) { // the same listing, confined beneath its holder
        const std::size_t slash = folder.rfind('/');
        const std::string holder =
            slash == std::string::npos ? "." : folder.substr(0, slash);
        list.push_back(
            {"kelvane -tpog --beneath",
             {o.kelvane, "-tpog", "--beneath=" + holder, folder.substr(slash + 1)}});
    }
    if (!o.baseline_kelvane.empty())
        list.push_back({baseline_label, {o.baseline_kelvane, "-tpog", folder}});
    if (with_find)
        list.push_back({"find -printf",
                        {"find", folder, "-mindepth", "1", "-maxdepth", "1", "-printf",
                         "%f %s %C@ %T@ %A@ %U %G %m\\n"}});
    if (with_ls)
        list.push_back({"ls -lU", {"ls", "-lU", folder}});
    return list;
}

struct run_result {
    double seconds;
    long peak_rss_kib;
    int status;
};

// Runs one command through the launcher, in the root folder with its
// standard output on `out_fd`, and reads back the launcher's report.
run_result run(const options &o, const command &c, int out_fd) {
    std::vector<char *> argv{const_cast<char *>(o.launcher.c_str())};
    for (const std::string &a : c.argv)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int report[2];
    if (pipe(report) != 0)
        fail_errno("pipe");
    pid_t child = fork();
    if (child < 0)
        fail_errno("fork");
    if (child == 0) {
        if (chdir(o.root.c_str()) != 0 || dup2(out_fd, 1) < 0 || dup2(report[1], 2) < 0)
            _exit(127);
        setenv("LC_ALL", "C", 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(report[1]);
    char text[128] = {};
    std::size_t length = 0;
    for (ssize_t n; (n = read(report[0], text + length, sizeof text - 1 - length)) > 0;)
        length += static_cast<std::size_t>(n);
    close(report[0]);
    int launcher_status;
    if (waitpid(child, &launcher_status, 0) != child)
        fail_errno("waitpid");
    run_result r;
    if (launcher_status != 0 ||
        std::sscanf(text, "%lf %ld %d", &r.seconds, &r.peak_rss_kib, &r.status) != 3)
        fail("could not run " + c.label);
    return r;
}

// What a command wrote to standard output, through a temporary file.
std::string output_of(const options &o, const command &c) {
    std::FILE *capture = std::tmpfile();
    if (!capture)
        fail_errno("tmpfile");
    run_result r = run(o, c, fileno(capture));
    if (!WIFEXITED(r.status) || WEXITSTATUS(r.status) != 0)
        fail(c.label + " failed");
    std::string text;
    std::rewind(capture);
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, capture)) > 0;)
        text.append(buffer, n);
    std::fclose(capture);
    return text;
}

// Checks a document line by line: the frame, one element per entry, the
// right number of folders and escaped names, and the attributes the flags
// ask for. A build that writes the wrong thing stops the benchmark.
void check_document(const std::string &label, const std::string &document, long count,
                    bool all_attributes) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < document.size();) {
        std::size_t end = document.find('\n', start);
        if (end == std::string::npos)
            fail(label + ": the document does not end with a line feed");
        lines.push_back(document.substr(start, end - start));
        start = end + 1;
    }
    const auto expect = [&](bool ok, const std::string &what) {
        if (!ok)
            fail(label + ": " + what);
    };
    expect(lines.size() == static_cast<std::size_t>(count) + 4,
           "expected " + std::to_string(count + 4) + " lines, got " +
               std::to_string(lines.size()));
    expect(lines[0].starts_with("<?xml version=\"1.0\" encoding=\""), "XML declaration");
    expect(lines[2] == "<folder-listing version=\"1.0\">", "root element");
    expect(lines.back() == "</folder-listing>", "closing tag");
    long folders = 0, escaped = 0;
    for (std::size_t i = 3; i + 1 < lines.size(); ++i) {
        const std::string &line = lines[i];
        const bool folder = line.starts_with("  <folder name=\"");
        expect(folder || line.starts_with("  <file name=\""), "entry line: " + line);
        expect(line.ends_with(" />"), "entry line end: " + line);
        folders += folder;
        escaped += line.find("notes &amp; &lt;draft&gt; &quot;") != std::string::npos;
        const bool has_all = line.find(" created=\"") != std::string::npos &&
                             line.find(" owner=\"") != std::string::npos &&
                             line.find(" group=\"") != std::string::npos &&
                             line.find(" other-perm=\"") != std::string::npos;
        expect(has_all == all_attributes, "attributes of: " + line);
    }
    long want_folders = 0, want_escaped = 0;
    for (long i = 0; i < count; ++i) {
        want_folders += is_folder(i);
        want_escaped += needs_escaping(i);
    }
    expect(folders == want_folders, "number of folders");
    expect(escaped == want_escaped, "number of escaped names");
}

void check(const options &o, const std::string &folder, long count) {
    for (const command &c : commands(o, folder)) { // find and ls are not checked
        if (c.label == "floor")
            if (output_of(o, c) != std::to_string(count) + "\n")
                fail("the floor program did not count " + std::to_string(count));
        if (c.label.starts_with("kelvane"))
            check_document(c.label, output_of(o, c), count,
                           c.label.starts_with("kelvane -tpog"));
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// What the rounds gave for each command of a list, in its order.
struct timings {
    std::vector<double> median_seconds;
    std::vector<long> peak_rss_kib; // the largest of any round
};

// Runs every command once to warm the caches, then the whole list once
// per round, so that a slow spell of the machine falls on every command
// alike.
timings time_in_rounds(const options &o, const std::vector<command> &list) {
    int null = open("/dev/null", O_WRONLY);
    if (null < 0)
        fail_errno("/dev/null");
    for (const command &c : list)
        run(o, c, null);
    std::vector<std::vector<double>> seconds(list.size());
    timings t;
    t.peak_rss_kib.assign(list.size(), 0);
    for (int round = 0; round < o.rounds; ++round)
        for (std::size_t i = 0; i < list.size(); ++i) {
            run_result r = run(o, list[i], null);
            if (!WIFEXITED(r.status) || WEXITSTATUS(r.status) != 0)
                fail(list[i].label + " failed");
            seconds[i].push_back(r.seconds);
            t.peak_rss_kib[i] = std::max(t.peak_rss_kib[i], r.peak_rss_kib);
        }
    close(null);
    for (const std::vector<double> &s : seconds)
        t.median_seconds.push_back(median(s));
    return t;
}

// A table of listing commands, each against the floor (the first) and
// against find, when it ran.
void print_listing_table(const options &o, const std::string &title,
                         const std::vector<command> &list, const timings &t, long count) {
    const auto find = std::find_if(list.begin(), list.end(), [](const command &c) {
        return c.label == "find -printf";
    });
    const double floor = t.median_seconds.front();
    const double find_seconds =
        find == list.end()
            ? 0
            : t.median_seconds.at(static_cast<std::size_t>(find - list.begin()));
    std::printf("\n%s, median of %d interleaved rounds\n\n", title.c_str(), o.rounds);
    std::printf("| command | median ms | us/entry | x floor | x find | peak RSS KiB |\n");
    std::printf("|---|---:|---:|---:|---:|---:|\n");
    for (std::size_t i = 0; i < list.size(); ++i) {
        const double seconds = t.median_seconds[i];
        std::printf("| `%s` | %.1f | %.3f | %.3f |", list[i].label.c_str(), seconds * 1e3,
                    seconds * 1e6 / static_cast<double>(count), seconds / floor);
        if (find_seconds > 0)
            std::printf(" %.2f |", seconds / find_seconds);
        else
            std::printf(" - |");
        std::printf(" %ld |\n", t.peak_rss_kib[i]);
    }
    std::fflush(stdout);
}

// The peak RSS of each kelvane command at each entry count: the largest
// over both paths and every round.
using peaks_by_count = std::map<long, std::map<std::string, long>>;

void note_peaks(peaks_by_count &peaks, long count, const std::vector<command> &list,
                const timings &t) {
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].label.starts_with("kelvane")) {
            long &peak = peaks[count][list[i].label];
            peak = std::max(peak, t.peak_rss_kib[i]);
        }
}

// 200000 as "200,000".
std::string grouped(long n) {
    const std::string digits = std::to_string(n < 0 ? -n : n);
    std::string text = n < 0 ? "-" : "";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += ',';
        text += digits[i];
    }
    return text;
}

// How much more memory each kelvane command held at its peak for the most
// entries than for the fewest: a streamed listing holds the same.
void print_rss_growth(const peaks_by_count &peaks) {
    if (peaks.size() < 2)
        return;
    const auto &[fewest, at_fewest] = *peaks.begin();
    const auto &[most, at_most] = *peaks.rbegin();
    std::printf("\n");
    for (const char *label : {"kelvane -tpog", "kelvane"}) {
        const long from = at_fewest.at(label), to = at_most.at(label);
        std::printf(
            "peak RSS growth of `%s`, %s -> %s entries: %+ld KiB (%s -> %s KiB)\n", label,
            grouped(fewest).c_str(), grouped(most).c_str(), to - from,
            grouped(from).c_str(), grouped(to).c_str());
    }
    std::fflush(stdout);
}

// Checks and times the fixture of `count` entries, and notes the peaks of
// the kelvane commands.
void time_many_files(const options &o, const std::string &deep, long count,
                     peaks_by_count &peaks) {
    // The same folder reached by a short relative path, from the root,
    // and by an absolute path 16 folders deeper: the cost of an entry
    // must not grow with the depth of the path.
    const std::string near = std::to_string(count);
    const std::string far = fixture(deep, count);
    fixture(o.root, count);
    for (const auto &[folder, reached_by] :
         {std::pair{near, "relative path"},
          std::pair{far, "absolute path 16 folders deeper"}}) {
        check(o, folder, count);
        std::fprintf(stderr, "%s: documents checked\n", folder.c_str());
        if (o.check_only)
            continue;
        const std::vector<command> list = commands(o, folder);
        const timings t = time_in_rounds(o, list);
        print_listing_table(o, std::to_string(count) + " entries, " + reached_by, list, t,
                            count);
        note_peaks(peaks, count, list, t);
    }
}

// The slow file system is mounted here, beside the fixtures, and reached
// by its relative name like them.
constexpr const char *slow_mount_name = "slow-mount";

// Mounts faulty_fs over `source` with every status request held
// `latency_us` and served on up to `threads` threads at once, as
// `mounted`; gives "" once the mount is up, else why not.
std::string mount_slow(const options &o, const std::string &source, long latency_us,
                       int threads) {
    const std::string parent = absolute(o.root.c_str());
    const std::string path = parent + "/" + slow_mount_name;
    // A run killed outright can leave a mount behind, dead or alive.
    struct stat status;
    if ((stat(path.c_str(), &status) != 0 && errno == ENOTCONN) || mounted_on(path))
        unmount_faulty_fs(path, -1);
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        fail_errno("mkdir " + path);
    // The time limit only matters should the benchmark vanish without
    // faulty_fs noticing; it leaves a minute for each round, several
    // times what the slowest round takes.
    pid_t server;
    const std::string problem =
        mount_faulty_fs(o.faulty_fs, source, path,
                        {"--status-latency-us=" + std::to_string(latency_us),
                         "--threads=" + std::to_string(threads),
                         "--time-limit=" + std::to_string(300 + 60L * o.rounds)},
                        server);
    if (problem.empty())
        mounted = {server, path};
    return problem;
}

void skip_slow_rows(const std::string &why) {
    if (std::getenv("KELVANE_TESTS_NEED_FUSE"))
        fail("the slow file system is needed here, but " + why);
    std::printf("\nslow file system rows skipped: %s\n", why.c_str());
    std::fflush(stdout);
}

// Starts `argv` from the root folder with standard output on `out_fd`
// (standard error on /dev/null).
pid_t start_command(const options &o, const std::vector<std::string> &args, int out_fd) {
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0)
        fail_errno("fork");
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (chdir(o.root.c_str()) != 0 || dup2(out_fd, 1) < 0 || null < 0 ||
            dup2(null, 2) < 0)
            _exit(127);
        setenv("LC_ALL", "C", 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

void expect_success(pid_t child, const std::string &label) {
    int status;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        fail(label + " failed");
}

// How many helper threads one run of `kelvane -tpog` on `folder` kept: the
// most seen at once, and the most common count through the second half of
// the run, when the depth has settled.
void print_helpers_kept(const options &o, const std::string &folder) {
    const int null = open("/dev/null", O_WRONLY);
    const pid_t child = start_command(o, {o.kelvane, "-tpog", folder}, null);
    close(null);
    std::vector<int> seen;
    for (int status; waitpid(child, &status, WNOHANG) == 0; usleep(500))
        if (const int tasks = tasks_of(child); tasks > 0)
            seen.push_back(tasks - 1);
    if (seen.empty())
        fail("kelvane on " + folder + " ended at once");
    std::map<int, int> second_half;
    for (std::size_t i = seen.size() / 2; i < seen.size(); ++i)
        ++second_half[seen[i]];
    const auto settled = std::max_element(
        second_half.begin(), second_half.end(),
        [](const auto &a, const auto &b) { return a.second < b.second; });
    std::printf(
        "\n`kelvane -tpog` here, one more run: at most %d helper threads at once, "
        "%d through the second half of the walk\n",
        *std::max_element(seen.begin(), seen.end()), settled->first);
    std::fflush(stdout);
}

// The floor, kelvane and find on a mirror of 2,000 files whose every
// status request waits, as on a cloud mount, a network share or a phone's
// card. A serial listing waits for each status in turn; kelvane keeps
// several in flight, as many as the mount serves usefully.
void time_slow_file_system(const options &o) {
    if (const std::string missing = faulty_fs_unusable(o.faulty_fs); !missing.empty()) {
        skip_slow_rows(missing);
        return;
    }
    constexpr long count = 2000;
    const std::string source = fixture(o.root, count);
    const struct {
        long latency_us;
        int threads;
    } mounts[] = {{50, 128}, {500, 128}, {2000, 128}, {2000, 10}};
    for (const auto &[latency_us, threads] : mounts) {
        if (const std::string problem = mount_slow(o, source, latency_us, threads);
            !problem.empty()) {
            skip_slow_rows(problem);
            return;
        }
        check(o, slow_mount_name, count);
        std::fprintf(stderr, "%s, %ld us a status, %d at once: documents checked\n",
                     slow_mount_name, latency_us, threads);
        if (!o.check_only) {
            // find takes as long as the floor: once is enough.
            const std::vector<command> list =
                commands(o, slow_mount_name, false, latency_us == mounts[0].latency_us);
            const timings t = time_in_rounds(o, list);
            const std::string title =
                std::to_string(count) +
                " entries on faulty_fs, every status request held " +
                std::to_string(latency_us) + " us, " + std::to_string(threads) +
                " served at once";
            print_listing_table(o, title, list, t, count);
            print_helpers_kept(o, slow_mount_name);
        }
        take_down_slow_mount();
        if (o.check_only) // the document is the same at any latency
            break;
    }
}

// The largest fixture, which the load and slow reader rows list.
long largest(const options &o) {
    return *std::max_element(o.entries.begin(), o.entries.end());
}

// Many calls at once on the largest fixture: from 16 threads of one
// process, and from 8 processes, with the read-ahead on and off in the
// same rounds. Calls share their helpers: the figures must be those of
// serial walks, or better.
void time_under_load(const options &o) {
    const long count = largest(o);
    const std::string folder = std::to_string(count);
    const char *every_attribute = "0x3c";
    std::vector<command> list;
    for (const char *mode : {"threads", "processes"})
        for (const char *read_ahead : {"on", "off"}) {
            const char *callers = std::string(mode) == "threads" ? "16" : "8";
            list.push_back(
                {std::string(callers) + " " + mode + ", read-ahead " + read_ahead,
                 {o.load, mode, o.check_only ? "2" : callers, read_ahead, folder,
                  every_attribute}});
        }
    // The load program prints its count into a file, read back through the
    // descriptor itself: a stream would keep what it read the time before.
    std::FILE *capture = std::tmpfile();
    if (!capture)
        fail_errno("tmpfile");
    const int report = fileno(capture);
    std::vector<std::vector<double>> seconds(list.size());
    std::vector<long> most(list.size(), 0);
    for (int round = 0; round < (o.check_only ? 1 : o.rounds + 1); ++round)
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (ftruncate(report, 0) != 0 || lseek(report, 0, SEEK_SET) != 0)
                fail_errno("emptying the report");
            const run_result r = run(o, list[i], report);
            char text[32] = {};
            const bool read_back = pread(report, text, sizeof text - 1, 0) > 0;
            char *end;
            const long helpers = std::strtol(text, &end, 10);
            if (!WIFEXITED(r.status) || WEXITSTATUS(r.status) != 0 || !read_back ||
                end == text)
                fail(list[i].label + " failed");
            most[i] = std::max(most[i], helpers);
            if (round > 0) // the first round warms the caches
                seconds[i].push_back(r.seconds);
        }
    std::fclose(capture);
    std::fprintf(stderr, "%s: calls at once checked\n", folder.c_str());
    if (o.check_only)
        return;
    std::printf("\n%ld entries listed by many calls at once (`-tpog`), median of %d "
                "interleaved rounds\n\n",
                count, o.rounds);
    std::printf(
        "| calls | median ms | x read-ahead off | most helper threads alive at once |\n");
    std::printf("|---|---:|---:|---:|\n");
    for (std::size_t i = 0; i < list.size(); ++i) {
        const double off = median(seconds[i | 1]); // each "on" is followed by its "off"
        std::printf("| %s | %.1f | %.3f | %ld |\n", list[i].label.c_str(),
                    median(seconds[i]) * 1e3, median(seconds[i]) / off, most[i]);
    }
    std::fflush(stdout);
}

// What one run of `kelvane -tpog` on `folder` does when its document goes
// to a pipe drained 64 KiB every 10 ms, from the start, or when `full`
// from 20 ms on into a pipe filled beforehand: the most helper threads seen
// (its threads are counted every millisecond), and whether the document
// was `whole`.
struct slow_read {
    int most_helpers;
    bool whole;
};

slow_read read_slowly(const options &o, const std::string &folder, bool full,
                      const std::string &whole) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        fail_errno("pipe");
    // What fills the pipe first is read back before the document.
    const int capacity = full ? fcntl(ends[1], F_GETPIPE_SZ) : 0;
    if (capacity < 0 ||
        write(ends[1], std::string(static_cast<std::size_t>(capacity), ' ').data(),
              static_cast<std::size_t>(capacity)) != capacity)
        fail_errno("filling the pipe");
    const pid_t child = start_command(o, {o.kelvane, "-tpog", folder}, ends[1]);
    close(ends[1]);
    std::string document;
    document.reserve(whole.size());
    slow_read result{0, false};
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    long next_drain_ms = full ? 20 : 0;
    for (bool open = true; open;) {
        if (const int tasks = tasks_of(child); tasks > 0)
            result.most_helpers = std::max(result.most_helpers, tasks - 1);
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long elapsed_ms = (now.tv_sec - start.tv_sec) * 1000 +
                                (now.tv_nsec - start.tv_nsec) / 1'000'000;
        if (elapsed_ms >= next_drain_ms) {
            next_drain_ms += 10;
            char buffer[65536];
            for (std::size_t taken = 0; open && taken < sizeof buffer;) {
                const ssize_t n = read(ends[0], buffer, sizeof buffer - taken);
                if (n < 0 && errno == EINTR)
                    continue;
                open = n > 0;
                if (open) {
                    document.append(buffer, static_cast<std::size_t>(n));
                    taken += static_cast<std::size_t>(n);
                }
            }
        }
        usleep(1000);
    }
    close(ends[0]);
    expect_success(child, "kelvane -tpog into a slow pipe");
    result.whole = document.size() >= static_cast<std::size_t>(capacity) &&
                   document.compare(static_cast<std::size_t>(capacity), std::string::npos,
                                    whole) == 0;
    return result;
}

// A slow reader of the document: the writer is the limit, not its status
// reads, and the helpers meant for reads that wait never start.
void time_slow_reader(const options &o) {
    if (o.check_only)
        return;
    const std::string folder = std::to_string(largest(o));
    const std::string whole =
        output_of(o, {"kelvane -tpog", {o.kelvane, "-tpog", folder}});
    std::printf("\n`kelvane -tpog %s` into a pipe drained 64 KiB every 10 ms, %d runs "
                "each\n\n",
                folder.c_str(), o.rounds);
    std::printf("| drained | most helper threads in a run | runs with a helper | "
                "whole documents |\n");
    std::printf("|---|---:|---:|---:|\n");
    for (const bool full : {false, true}) {
        int most = 0, with_helper = 0, whole_ones = 0;
        for (int run = 0; run < o.rounds; ++run) {
            const slow_read r = read_slowly(o, folder, full, whole);
            most = std::max(most, r.most_helpers);
            with_helper += r.most_helpers > 0;
            whole_ones += r.whole;
        }
        std::printf("| %s | %d | %d | %d of %d |\n",
                    full ? "full at the start, from 20 ms on" : "from the start", most,
                    with_helper, whole_ones, o.rounds);
        std::fflush(stdout);
        if (whole_ones != o.rounds)
            fail("a slowly read document was not the whole one");
    }
}

// The figures a command printed on its one line of output, in its order.
std::vector<double> figures_of(const options &o, const command &c) {
    std::istringstream line(output_of(o, c));
    std::vector<double> figures;
    for (double figure; line >> figure;)
        figures.push_back(figure);
    if (figures.empty())
        fail(c.label + " printed no figures");
    return figures;
}

// For each command that prints its own figures: the median of each, over
// interleaved rounds after one to warm the caches, and its peak RSS.
struct reports {
    std::vector<std::vector<double>> medians;
    std::vector<long> peak_rss_kib;
};

reports report_in_rounds(const options &o, const std::vector<command> &list) {
    std::FILE *capture = std::tmpfile();
    if (!capture)
        fail_errno("tmpfile");
    const int report = fileno(capture);
    std::vector<std::vector<std::vector<double>>> seen(list.size());
    reports r;
    r.peak_rss_kib.assign(list.size(), 0);
    for (int round = 0; round <= o.rounds; ++round)
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (ftruncate(report, 0) != 0 || lseek(report, 0, SEEK_SET) != 0)
                fail_errno("emptying the report");
            const run_result ran = run(o, list[i], report);
            char text[256] = {};
            if (!WIFEXITED(ran.status) || WEXITSTATUS(ran.status) != 0 ||
                pread(report, text, sizeof text - 1, 0) <= 0)
                fail(list[i].label + " failed");
            if (round == 0)
                continue;
            std::istringstream line(text);
            std::vector<double> figures;
            for (double figure; line >> figure;)
                figures.push_back(figure);
            seen[i].push_back(figures);
            r.peak_rss_kib[i] = std::max(r.peak_rss_kib[i], ran.peak_rss_kib);
        }
    std::fclose(capture);
    for (const auto &rounds : seen) {
        std::vector<double> medians;
        for (std::size_t f = 0; f < rounds.front().size(); ++f) {
            std::vector<double> values;
            for (const std::vector<double> &figures : rounds)
                values.push_back(figures.at(f));
            medians.push_back(median(values));
        }
        r.medians.push_back(medians);
    }
    return r;
}

// The pulled document, blocking and not, is kelvane's, byte for byte.
void check_pulled(const options &o, const std::string &folder, long count) {
    const std::string whole = output_of(o, {"kelvane -tpog", {o.kelvane, "-tpog", folder}});
    for (const char *piece : {"7", "32768"})
        for (const char *mode : {"", "nonblock"}) {
            const command c{"pulled " + folder + " in pieces of " + piece + " " + mode,
                            {o.pull, "cat", folder, piece, mode}};
            const std::string document = output_of(o, c);
            check_document(c.label, document, count, true);
            if (document != whole)
                fail(c.label + ": not the document kelvane writes");
        }
    std::fprintf(stderr, "%s: pulled documents checked\n", folder.c_str());
}

// Listings pulled piece by piece on the warm fixtures: the first packet,
// the whole listing, non-blocking reads and memory.
void time_pulled(const options &o) {
    const long smallest = *std::min_element(o.entries.begin(), o.entries.end());
    const long count = largest(o);
    for (const long n : {smallest, count})
        check_pulled(o, std::to_string(n), n);
    if (o.check_only)
        return;
    const std::string folder = std::to_string(count), small = std::to_string(smallest);
    const std::vector<command> list{
        {"`kelvane_at` into /dev/null", {o.pull, "push", folder}},
        {"pulled in 32 KiB pieces", {o.pull, "pull", folder, "32768"}},
        {"pulled in 1 KiB pieces", {o.pull, "pull", folder, "1024"}},
        {"pulled in 32 KiB pieces, non-blocking", {o.pull, "nonblock", folder, "32768"}},
        {"the first 32 KiB piece", {o.pull, "first", folder, "32768"}},
        {"kept in memory, then sent in 32 KiB pieces", {o.pull, "memory", folder, "32768"}},
        {"kept in memory, each 32 KiB piece copied and erased from the front",
         {o.pull, "erase", folder, "32768"}},
        {"small: pulled in 32 KiB pieces", {o.pull, "pull", small, "32768"}},
        {"small: kept in memory", {o.pull, "memory", small, "32768"}},
        {"small: copied and erased", {o.pull, "erase", small, "32768"}},
    };
    const reports r = report_in_rounds(o, list);
    const double push = r.medians[0][0];
    std::printf("\n%ld entries (`-tpog`) pulled piece by piece through the library, median "
                "of %d interleaved rounds\n\n",
                count, o.rounds);
    std::printf("| listing | median ms | x `kelvane_at` | peak RSS KiB |\n|---|---:|---:|---:|\n");
    for (std::size_t i = 0; i < 7; ++i)
        std::printf("| %s | %.1f | %.3f | %ld |\n", list[i].label.c_str(),
                    r.medians[i][0] * 1e3, r.medians[i][0] / push, r.peak_rss_kib[i]);
    std::printf("\nnon-blocking: the longest single read took %.1f us (median of the rounds' "
                "longest)\n",
                r.medians[3][1] * 1e6);
    std::printf("non-blocking against blocking, both in 32 KiB pieces: %.3f\n",
                r.medians[3][0] / r.medians[1][0]);
    std::printf("\npeak RSS from %s to %s entries:\n\n| listing | %s | %s | growth KiB |\n"
                "|---|---:|---:|---:|\n",
                grouped(smallest).c_str(), grouped(count).c_str(), grouped(smallest).c_str(),
                grouped(count).c_str());
    const std::pair<std::size_t, std::size_t> rows[] = {{7, 1}, {8, 5}, {9, 6}};
    for (const auto &[few, many] : rows)
        std::printf("| %s | %ld | %ld | %ld |\n", list[many].label.c_str(),
                    r.peak_rss_kib[few], r.peak_rss_kib[many],
                    r.peak_rss_kib[many] - r.peak_rss_kib[few]);
    std::fflush(stdout);

    // Many listings open at once, each read 4 KiB and left open.
    std::printf("\n1,000 listings of %s entries open at once, each read 4 KiB and left "
                "open (one run each; the helper budget is 128 waiting helpers and one "
                "computing helper per spare processor)\n\n",
                grouped(smallest).c_str());
    std::printf("| listings | most threads alive at once | threads alive 200 ms later | "
                "descriptors per listing | KiB resident per listing |\n"
                "|---|---:|---:|---:|---:|\n");
    for (const char *mode : {"", "nonblock"}) {
        const std::vector<double> f =
            figures_of(o, {"many", {o.pull, "many", small, "1000", "4096", mode}});
        std::printf("| %s | %.0f | %.0f | %.2f | %.1f |\n",
                    *mode ? "non-blocking" : "blocking", f[0], f[1], f[2], f[3]);
    }
    std::fflush(stdout);
}

// Listings pulled piece by piece on the slow mount: the first packet, a
// reader that goes away between pieces, and non-blocking reads.
void time_pulled_on_slow_mount(const options &o) {
    if (const std::string missing = faulty_fs_unusable(o.faulty_fs); !missing.empty()) {
        skip_slow_rows(missing);
        return;
    }
    constexpr long count = 2000;
    const std::string source = fixture(o.root, count);
    if (const std::string problem = mount_slow(o, source, 2000, 128); !problem.empty()) {
        skip_slow_rows(problem);
        return;
    }
    check_pulled(o, slow_mount_name, count);
    if (!o.check_only) {
        const std::string folder = slow_mount_name;
        const std::vector<command> list{
            {"`kelvane_at` into /dev/null", {o.pull, "push", folder}},
            {"the first 32 KiB piece", {o.pull, "first", folder, "32768"}},
            {"pulled in 4 KiB pieces", {o.pull, "pull", folder, "4096"}},
            {"pulled in 4 KiB pieces, non-blocking", {o.pull, "nonblock", folder, "4096"}},
            {"4 KiB, then 2 ms away, to the end", {o.pull, "paced", folder, "4096", "2000"}},
        };
        const reports r = report_in_rounds(o, list);
        const double push = r.medians[0][0];
        std::printf("\n%ld entries (`-tpog`) on faulty_fs, every status request held 2 ms, "
                    "128 served at once, pulled through the library, median of %d "
                    "interleaved rounds\n\n",
                    count, o.rounds);
        std::printf("| listing | median ms | x `kelvane_at` |\n|---|---:|---:|\n");
        for (std::size_t i = 0; i < list.size(); ++i)
            std::printf("| %s | %.1f | %.3f |\n", list[i].label.c_str(),
                        r.medians[i][0] * 1e3, r.medians[i][0] / push);
        std::printf("\nnon-blocking: the longest single read took %.1f us, %.0f reads "
                    "said -EAGAIN; its total against blocking reads: %.3f\n",
                    r.medians[3][1] * 1e6, r.medians[3][2], r.medians[3][0] / r.medians[2][0]);
        std::printf("the reader away 2 ms after each piece: %.1f ms in all, %.1f ms of it "
                    "away: %.3f x the pauses alone\n",
                    r.medians[4][0] * 1e3, r.medians[4][1] * 1e3,
                    r.medians[4][0] / r.medians[4][1]);
        std::fflush(stdout);
    }
    take_down_slow_mount();
}

// Whole processes on a small folder: what starting the program costs,
// loading its libraries included, against ls and a program that does
// nothing.
void time_startup(const options &o) {
    constexpr long count = 20;
    constexpr const char *runs = "200";
    fixture(o.root, count);
    const std::string folder = std::to_string(count);
    check_document("kelvane -tpog", output_of(o, {"kelvane -tpog", {o.kelvane, "-tpog", folder}}),
                   count, true);
    if (o.check_only)
        return;
    const std::vector<command> list{
        {"`/bin/true`", {"--times", runs, "/bin/true"}},
        {"`ls -l`", {"--times", runs, "ls", "-l", folder}},
        {"`kelvane -tpog`", {"--times", runs, o.kelvane, "-tpog", folder}},
    };
    const timings t = time_in_rounds(o, list);
    std::printf("\n%ld entries, each command run %s times in a row as whole processes, "
                "median of %d interleaved rounds\n\n",
                count, runs, o.rounds);
    std::printf("| command | us per run | x `ls -l` | x `/bin/true` | peak RSS KiB |\n"
                "|---|---:|---:|---:|---:|\n");
    for (std::size_t i = 0; i < list.size(); ++i)
        std::printf("| %s | %.0f | %.2f | %.2f | %ld |\n", list[i].label.c_str(),
                    t.median_seconds[i] * 1e6 / std::atof(runs),
                    t.median_seconds[i] / t.median_seconds[1],
                    t.median_seconds[i] / t.median_seconds[0], t.peak_rss_kib[i]);
    std::fflush(stdout);
}

// kelvane() called 2,000 times in one process on 100 files, through this
// build's library and the baseline's: what a call costs beyond its entries
// (setting up, deciding whether to read ahead) shows where entries are
// few. Each figure includes starting the process and loading the library,
// once for the 2,000 calls.
void time_small_folder(const options &o) {
    if (o.library.empty()) {
        std::printf("\nsmall folder rows skipped: libkelvane is built static "
                    "(BUILD_SHARED_LIBS=OFF), there is no library to load\n");
        return;
    }
    constexpr long count = 100, calls = 2000;
    fixture(o.root, count);
    const std::string folder = std::to_string(count);
    std::vector<std::string> libraries{o.library};
    if (!o.baseline_library.empty())
        libraries.push_back(o.baseline_library);
    const unsigned all_attributes = SHOW_TIMES | SHOW_PERMS | SHOW_OWNER | SHOW_GROUP;
    const unsigned flag_words[] = {0, all_attributes};

    // A row per flag word and library, this build's first.
    struct row {
        bool baseline;
        const char *flags;
    };
    std::vector<row> rows;
    std::vector<command> list;
    for (unsigned flags : flag_words)
        for (const std::string &library : libraries) {
            const row r{rows.size() % libraries.size() == 1, flags ? "`-tpog`" : "none"};
            const std::string label =
                std::string(r.baseline ? "baseline" : "this build") + ", flags " +
                r.flags;
            const command once{label,
                               {o.repeater, library, folder, "1", std::to_string(flags)}};
            check_document(label, output_of(o, once), count, flags == all_attributes);
            rows.push_back(r);
            list.push_back({label,
                            {o.repeater, library, folder, std::to_string(calls),
                             std::to_string(flags)}});
        }
    std::fprintf(stderr, "%s: documents checked through kelvane_repeat\n",
                 folder.c_str());
    if (o.check_only)
        return;

    const timings t = time_in_rounds(o, list);
    const bool against_baseline = libraries.size() == 2;
    std::printf("\n%ld entries, %ld calls of kelvane() in one process, median of %d "
                "interleaved rounds\n",
                count, calls, o.rounds);
    if (against_baseline)
        std::printf("this build: %s\nbaseline: %s\n", o.library.c_str(),
                    o.baseline_library.c_str());
    else
        std::printf("no baseline library given (--baseline-library): this build only\n");
    std::printf("\n| library | flags | median ms | us/call |%s\n",
                against_baseline ? " x baseline |" : "");
    std::printf("|---|---|---:|---:|%s\n", against_baseline ? "---:|" : "");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const double seconds = t.median_seconds[i];
        std::printf("| %s | %s | %.1f | %.2f |",
                    rows[i].baseline ? "baseline" : "this build", rows[i].flags,
                    seconds * 1e3, seconds * 1e6 / calls);
        if (against_baseline) {
            // The baseline's row of the same flags: next to this build's.
            const std::size_t baseline = rows[i].baseline ? i : i + 1;
            std::printf(" %.2f |", seconds / t.median_seconds[baseline]);
        }
        std::printf("\n");
    }
    std::fflush(stdout);
}

std::vector<long> parse_counts(const char *text) {
    std::vector<long> counts;
    for (const char *p = text; *p;) {
        char *end;
        long n = std::strtol(p, &end, 10);
        if (end == p || n <= 0 || (*end && *end != ','))
            fail(std::string("bad entry counts: ") + text);
        counts.push_back(n);
        p = *end ? end + 1 : end;
    }
    return counts;
}

options parse(int argc, char **argv) {
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                fail(a + " needs a value");
            return argv[++i];
        };
        if (a == "--entries")
            o.entries = parse_counts(value());
        else if (a == "--rounds")
            o.rounds = std::max(1, std::atoi(value()));
        else if (a == "--root")
            o.root = value();
        else if (a == "--kelvane")
            o.kelvane = absolute(value());
        else if (a == "--baseline-kelvane")
            o.baseline_kelvane = absolute(value());
        else if (a == "--baseline-library")
            o.baseline_library = absolute(value());
        else if (a == "--check")
            o.check_only = true;
        else if (a == "--only") {
            std::istringstream names(value());
            for (std::string name; std::getline(names, name, ',');)
                o.only.push_back(name);
        } else
            fail("usage: kelvane_bench [--entries N,N...] [--rounds N] [--root DIR] "
                 "[--kelvane PROGRAM] [--baseline-kelvane PROGRAM] "
                 "[--baseline-library LIBRARY] [--check] "
                 "[--only many,slow,load,reader,pulled,startup,small]");
    }
    return o;
}

// Whether listings can be confined here: openat2 is missing from kernels
// before 5.6, and from valgrind 3.19, under which CI's memcheck runs this.
bool can_confine() {
    struct open_how how = {};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH;
    const long descriptor = syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how);
    if (descriptor < 0) {
        if (std::getenv("KELVANE_TESTS_NEED_OPENAT2"))
            fail_errno("confined listings are needed here, but openat2");
        std::printf("\nconfined rows (`kelvane -tpog --beneath`) skipped: openat2: %s\n",
                    std::strerror(errno));
        return false;
    }
    close(static_cast<int>(descriptor));
    return true;
}

} // namespace

int main(int argc, char **argv) {
    options o = parse(argc, argv);
    o.confined = can_confine();
    if (mkdir(o.root.c_str(), 0755) != 0 && errno != EEXIST)
        fail_errno("mkdir " + o.root);
    const auto wanted = [&](const char *section) {
        return o.only.empty() ||
               std::find(o.only.begin(), o.only.end(), section) != o.only.end();
    };
    if (wanted("many")) {
        const std::string deep = deep_parent(o);
        peaks_by_count peaks;
        for (long count : o.entries)
            time_many_files(o, deep, count, peaks);
        print_rss_growth(peaks);
    } else {
        for (long count : o.entries)
            fixture(o.root, count);
    }
    if (wanted("slow"))
        time_slow_file_system(o);
    if (wanted("load"))
        time_under_load(o);
    if (wanted("reader"))
        time_slow_reader(o);
    if (wanted("pulled")) {
        time_pulled(o);
        time_pulled_on_slow_mount(o);
    }
    if (wanted("startup"))
        time_startup(o);
    if (wanted("small"))
        time_small_folder(o);
    return 0;
}
