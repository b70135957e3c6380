// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Times kelvane against the floor of any listing and against the usual
// tools, on fixture folders of many files.
//
//   kelvane_bench [--entries 10000,200000] [--rounds 7] [--root DIR] [--check]
//
// Fixtures are made once under the root folder and kept for later runs.
// Every command runs as a child with standard output on /dev/null, in
// interleaved rounds, from the root folder. Each fixture is listed twice:
// with its relative name as the operand, and with the absolute path of a
// copy 16 folders deeper. Before any timing, kelvane's documents are checked line
// by line, so that a broken build cannot look fast; --check stops there.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct options {
    std::vector<long> entries{10000, 200000};
    int rounds = 7;
    std::string root = "/tmp/kelvane-bench";
    std::string kelvane = KELVANE_PROGRAM;
    std::string floor = FLOOR_PROGRAM;
    std::string launcher = LAUNCH_PROGRAM;
    bool check_only = false;
};

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "kelvane_bench: %s\n", what.c_str());
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

std::vector<command> commands(const options &o, const std::string &folder) {
    return {
        {"floor", {o.floor, folder}},
        {"kelvane -tpog", {o.kelvane, "-tpog", folder}},
        {"kelvane", {o.kelvane, folder}},
        {"find -printf",
         {"find", folder, "-mindepth", "1", "-maxdepth", "1", "-printf",
          "%f %s %C@ %T@ %A@ %U %G %m\\n"}},
        {"ls -lU", {"ls", "-lU", folder}},
    };
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
    for (const command &c : commands(o, folder)) {
        if (c.label == "floor")
            if (output_of(o, c) != std::to_string(count) + "\n")
                fail("the floor program did not count " + std::to_string(count));
        if (c.label.starts_with("kelvane"))
            check_document(c.label, output_of(o, c), count, c.label == "kelvane -tpog");
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void measure(const options &o, const std::string &folder, long count,
             const char *reached_by) {
    const std::vector<command> list = commands(o, folder);
    int null = open("/dev/null", O_WRONLY);
    if (null < 0)
        fail_errno("/dev/null");
    for (const command &c : list) // warm the caches
        run(o, c, null);
    std::vector<std::vector<double>> seconds(list.size());
    std::vector<long> peak(list.size(), 0);
    for (int round = 0; round < o.rounds; ++round)
        for (std::size_t i = 0; i < list.size(); ++i) {
            run_result r = run(o, list[i], null);
            if (!WIFEXITED(r.status) || WEXITSTATUS(r.status) != 0)
                fail(list[i].label + " failed");
            seconds[i].push_back(r.seconds);
            peak[i] = std::max(peak[i], r.peak_rss_kib);
        }
    close(null);

    std::vector<double> medians;
    for (const std::vector<double> &s : seconds)
        medians.push_back(median(s));
    const double floor = medians[0], find = medians[3];
    std::printf("\n%ld entries, %s, median of %d interleaved rounds\n\n", count,
                reached_by, o.rounds);
    std::printf("| command | median ms | us/entry | x floor | x find | peak RSS KiB |\n");
    std::printf("|---|---:|---:|---:|---:|---:|\n");
    for (std::size_t i = 0; i < list.size(); ++i)
        std::printf("| `%s` | %.1f | %.3f | %.2f | %.2f | %ld |\n", list[i].label.c_str(),
                    medians[i] * 1e3, medians[i] * 1e6 / static_cast<double>(count),
                    medians[i] / floor, medians[i] / find, peak[i]);
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
        else if (a == "--check")
            o.check_only = true;
        else
            fail("usage: kelvane_bench [--entries N,N...] [--rounds N] [--root DIR] "
                 "[--kelvane PROGRAM] [--check]");
    }
    return o;
}

} // namespace

int main(int argc, char **argv) {
    options o = parse(argc, argv);
    if (mkdir(o.root.c_str(), 0755) != 0 && errno != EEXIST)
        fail_errno("mkdir " + o.root);
    const std::string deep = deep_parent(o);
    for (long count : o.entries) {
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
            if (!o.check_only)
                measure(o, folder, count, reached_by);
        }
    }
    return 0;
}
