// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The OBEX server example (examples/obex_folder_server.c) browsed by the
// obexftp client over TCP, against kelvane writing the same listing:
//
//   kelvane_obex_bench [--root DIR] [--rounds 7] [--entries 20000]
//                      [--memory 10000,200000]
//
// Timing: the server serves the root folder with -tpog; obexftp lists the
// fixture of --entries entries through it (1 KiB packets, as obexftp asks
// for), and `kelvane -tpog --beneath=ROOT` writes the same document into
// /dev/null, in interleaved rounds; the table gives medians. Before any
// timing the client's document is checked against kelvane's, byte for byte.
//
// Memory: for each count of --memory, a server started with --once serves
// one obexftp listing of that fixture and ends; its peak RSS (from wait4 of
// kelvane_launch's child, so that the figure is the server's own) shows
// whether serving a listing grows with the folder.
//
// Many clients: 64 obexftp listing the --entries fixture at once (all from
// 127.0.0.1, so the server takes 64 from one address), against one
// client's listing times 64, and the server's peak RSS (VmHWM) once they
// are done; medians of 3 rounds, each with three listings alone before
// its crowd.
//
// Beside attackers: one obexftp listing while 100 idle connections and 50
// stalled readers (raw sockets from 127.0.0.2 to 127.0.0.11, each reader
// asking for the same listing in packets of 64 KiB and never reading) are
// held (once the server has taken them all and waits on them), against the
// same listing with no one else connected, in interleaved rounds; the table
// gives medians.
//
// Fixtures (names of varied length, one entry in a hundred a folder, one in
// ninety-seven with characters to escape) are made once under the root as
// obex-COUNT and kept for later runs.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "raw_obex.h"
#include "tasks.h"

namespace {

struct options {
    std::string root = "/tmp/kelvane-bench";
    int rounds = 7;
    long entries = 20000;
    std::vector<long> memory{10000, 200000};
    std::string server = SERVER_PROGRAM;
    std::string kelvane = KELVANE_PROGRAM;
    std::string launcher = LAUNCH_PROGRAM;
    std::string obexftp;
};

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "kelvane_obex_bench: %s\n", what.c_str());
    std::exit(1);
}

[[noreturn]] void fail_errno(const std::string &what) {
    fail(what + ": " + std::strerror(errno));
}

std::string find_obexftp() {
    const char *path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (access((folder + "/obexftp").c_str(), X_OK) == 0)
            return folder + "/obexftp";
    fail("obexftp is missing (Debian: obexftp)");
}

// The fixture of `count` entries, made in a scratch folder and renamed into
// place when whole, so that an interrupted run leaves no short one.
std::string fixture(const options &o, long count) {
    const std::string name = "obex-" + std::to_string(count);
    const std::string path = o.root + "/" + name;
    if (access(path.c_str(), F_OK) == 0)
        return name;
    const std::string scratch = path + ".partial";
    if (std::system(("rm -rf -- '" + scratch + "'").c_str()) != 0 ||
        mkdir(scratch.c_str(), 0755) != 0)
        fail_errno("mkdir " + scratch);
    std::fprintf(stderr, "making %s...\n", path.c_str());
    for (long i = 0; i < count; ++i) {
        char entry[128];
        if (i % 100 == 50)
            std::snprintf(entry, sizeof entry, "%s/album %05ld", scratch.c_str(), i);
        else if (i % 97 == 13)
            std::snprintf(entry, sizeof entry, "%s/notes & <draft> \"%ld\".txt",
                          scratch.c_str(), i);
        else
            std::snprintf(entry, sizeof entry, "%s/%s-%ld%s", scratch.c_str(),
                          i % 3 ? "IMG" : "report-of-the-archive", i, i % 2 ? ".jpg" : ".pdf");
        if (i % 100 == 50) {
            if (mkdir(entry, 0755) != 0)
                fail_errno(entry);
            continue;
        }
        const int file = open(entry, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (file < 0 || ftruncate(file, (i * 7919) % 300000) != 0)
            fail_errno(entry);
        close(file);
    }
    if (rename(scratch.c_str(), path.c_str()) != 0)
        fail_errno("rename " + scratch);
    return name;
}

struct measured {
    double seconds;
    long peak_rss_kib;
    int status;
};

// Starts `argv` in the root folder, standard output on `out`. Measured, it
// runs under kelvane_launch, whose report then comes on the pipe end stored
// in `report`; else its standard error is the benchmark's.
pid_t start(const options &o, const std::vector<std::string> &argv, int out, bool measured,
            int &report) {
    std::vector<char *> args;
    if (measured)
        args.push_back(const_cast<char *>(o.launcher.c_str()));
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0)
        fail_errno("pipe");
    const pid_t child = fork();
    if (child < 0)
        fail_errno("fork");
    if (child == 0) {
        if (chdir(o.root.c_str()) != 0 || dup2(out, 1) < 0 ||
            (measured && dup2(channel[1], 2) < 0))
            _exit(127);
        setenv("LC_ALL", "C", 1);
        execv(args[0], args.data());
        _exit(127);
    }
    close(channel[1]);
    report = channel[0];
    return child;
}

measured finish(pid_t launcher, int report, const std::string &what) {
    char text[128] = {};
    std::size_t length = 0;
    for (ssize_t n; (n = read(report, text + length, sizeof text - 1 - length)) > 0;)
        length += static_cast<std::size_t>(n);
    close(report);
    int status;
    measured m{};
    if (waitpid(launcher, &status, 0) != launcher || status != 0 ||
        std::sscanf(text, "%lf %ld %d", &m.seconds, &m.peak_rss_kib, &m.status) != 3)
        fail("could not run " + what);
    return m;
}

measured run(const options &o, const std::vector<std::string> &argv, int out) {
    int report;
    const pid_t launcher = start(o, argv, out, true, report);
    return finish(launcher, report, argv[0]);
}

// A server of the root folder on a free port, measured through the
// launcher or not; `port` is read from the first line it prints.
struct server {
    pid_t pid = -1; // the launcher's, when measured
    int report = -1;
    std::string port;
    server(const options &o, const std::vector<std::string> &arguments, bool measured) {
        int lines[2];
        if (pipe2(lines, O_CLOEXEC) != 0)
            fail_errno("pipe");
        std::vector<std::string> argv{o.server, "--port=0"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        argv.push_back(".");
        pid = start(o, argv, lines[1], measured, report);
        close(lines[1]);
        char c;
        while (read(lines[0], &c, 1) == 1 && c != '\n')
            port += c;
        close(lines[0]);
        if (port.empty())
            fail("the server did not start");
    }
};

// The peak RSS of process `pid` so far, in KiB.
long peak_rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:"))
            return std::stol(line.substr(6));
    fail("no VmHWM for the server");
}

void stop(server &s) {
    kill(s.pid, SIGTERM);
    int status;
    if (waitpid(s.pid, &status, 0) != s.pid || status != 0)
        fail("the server did not end cleanly");
    close(s.report);
}

std::vector<std::string> listing_through(const options &o, const server &s,
                                         const std::string &folder) {
    return {o.obexftp, "-n", "127.0.0.1:" + s.port, "-l", folder};
}

std::string output_of(const options &o, const std::vector<std::string> &argv) {
    std::FILE *capture = std::tmpfile();
    if (!capture)
        fail_errno("tmpfile");
    run(o, argv, fileno(capture));
    std::string text;
    std::rewind(capture);
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, capture)) > 0;)
        text.append(buffer, n);
    std::fclose(capture);
    return text;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void timing(const options &o, int null) {
    const std::string folder = fixture(o, o.entries);
    server s(o, {"-t", "-p", "-o", "-g"}, false);
    const std::vector<std::string> client = listing_through(o, s, folder);
    const std::vector<std::string> kelvane{o.kelvane, "-tpog", "--beneath=.", folder};
    const std::string document = output_of(o, kelvane);
    if (output_of(o, client) != document)
        fail("obexftp's document differs from kelvane's");
    std::vector<double> through_server, alone;
    for (int round = 0; round < o.rounds; ++round) {
        through_server.push_back(run(o, client, null).seconds);
        alone.push_back(run(o, kelvane, null).seconds);
    }
    stop(s);
    const double served = median(through_server), written = median(alone);
    std::printf("\n**%ld entries (-tpog, a %zu-byte document), median of %d interleaved "
                "rounds**\n\n",
                o.entries, document.size(), o.rounds);
    std::printf("| command | median ms | x kelvane |\n|---|---:|---:|\n");
    std::printf("| `obexftp -l` through the server | %.1f | %.2f |\n", served * 1e3,
                served / written);
    std::printf("| `kelvane -tpog --beneath` into /dev/null | %.1f | 1.00 |\n",
                written * 1e3);
}

void memory(const options &o, int null) {
    std::printf("\n**The server's peak RSS serving one `obexftp -l` (-tpog), then "
                "ending (--once)**\n\n");
    std::printf("| entries | server peak RSS KiB | obexftp ms |\n|---:|---:|---:|\n");
    std::vector<long> peaks;
    for (const long count : o.memory) {
        const std::string folder = fixture(o, count);
        server s(o, {"--once", "-t", "-p", "-o", "-g"}, true);
        const measured client = run(o, listing_through(o, s, folder), null);
        const measured served = finish(s.pid, s.report, "the server");
        if (served.status != 0)
            fail("the server did not end cleanly");
        std::printf("| %ld | %ld | %.1f |\n", count, served.peak_rss_kib,
                    client.seconds * 1e3);
        peaks.push_back(served.peak_rss_kib);
    }
    if (peaks.size() > 1)
        std::printf("\n- the server's peak RSS growth, %ld -> %ld entries: %+ld KiB\n",
                    o.memory.front(), o.memory.back(), peaks.back() - peaks.front());
}

// The CPU time process `pid` has used, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // The fields after the name, which ends with the last ')': utime and
    // stime are the 12th and 13th of them.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i)
        if (i >= 12)
            ticks += std::stol(field);
    return ticks;
}

// Waits until process `pid` has used no CPU for 100 ms: the attackers are
// all taken, their listings begun, and the server waits on them.
void wait_until_idle(pid_t pid) {
    long last = cpu_ticks(pid);
    for (int quiet = 0, tries = 0; quiet < 2 && tries < 200; ++tries) {
        usleep(50000);
        const long now = cpu_ticks(pid);
        quiet = now == last ? quiet + 1 : 0;
        last = now;
    }
}

// `count` copies of `argv` started at once, their output into /dev/null:
// the seconds until the last has ended, each having succeeded (obexftp
// exits with 255 after a success).
double at_once(const std::vector<std::string> &argv, int count, int null) {
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t child = fork();
        if (child < 0)
            fail_errno("fork");
        if (child == 0) {
            dup2(null, 1);
            dup2(null, 2);
            setenv("LC_ALL", "C", 1);
            execv(args[0], args.data());
            _exit(127);
        }
        children.push_back(child);
    }
    for (const pid_t child : children) {
        int status;
        if (waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
            (WEXITSTATUS(status) != 255 && WEXITSTATUS(status) != 0))
            fail("a client of the crowd failed");
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
        .count();
}

void many_clients(const options &o, int null) {
    constexpr int crowd = 64;
    const std::string folder = fixture(o, o.entries);
    server s(o, {"--max-per-address=" + std::to_string(crowd), "-t", "-p", "-o", "-g"},
             false);
    const std::vector<std::string> client = listing_through(o, s, folder);
    std::vector<double> one, all;
    for (int round = 0; round < 3; ++round) {
        wait_until_idle(s.pid); // the crowd before is all gone
        for (int alone = 0; alone < 3; ++alone)
            one.push_back(run(o, client, null).seconds);
        all.push_back(at_once(client, crowd, null));
    }
    const long peak = peak_rss_kib(s.pid);
    stop(s);
    const double alone = median(one), together = median(all);
    std::printf("\n**%d clients at once, each `obexftp -l` of %ld entries (-tpog), median of 3 "
                "rounds (9 listings alone)**\n\n",
                crowd, o.entries);
    std::printf("| clients | ms | x one client's x %d | server peak RSS KiB |\n"
                "|---:|---:|---:|---:|\n",
                crowd);
    std::printf("| 1 | %.1f | | |\n", alone * 1e3);
    std::printf("| %d at once | %.1f | %.2f | %ld |\n", crowd, together * 1e3,
                together / (alone * crowd), peak);
}

// The attackers of a round: idle connections, and readers that stall on
// the listing of `folder`.
struct attackers {
    std::vector<int> fds;
    attackers(const std::string &port, const std::string &folder, int idle, int stalled) {
        const raw_obex::bytes requests = raw_obex::stalled_listing_requests(folder, 60);
        for (int i = 0; i < idle + stalled; ++i) {
            const bool stalls = i >= idle;
            const int fd = raw_obex::connect_from(raw_obex::attacker_address(i, 10), port,
                                                  stalls ? 4096 : 0);
            if (fd < 0 || (stalls && !raw_obex::send_all(fd, requests)))
                fail_errno("an attacker's connection");
            fds.push_back(fd);
        }
    }
    ~attackers() {
        for (const int fd : fds)
            close(fd);
    }
};

void beside_attackers(const options &o, int null) {
    constexpr int idle = 100, stalled = 50;
    const std::string folder = fixture(o, o.entries);
    server s(
        o,
        {"--max-clients=" + std::to_string(idle + stalled + 1), "-t", "-p", "-o", "-g"},
        false);
    const std::vector<std::string> client = listing_through(o, s, folder);
    const int at_rest = entries_of("/proc/" + std::to_string(s.pid) + "/fd");
    std::vector<double> alone, beside;
    for (int round = 0; round < o.rounds; ++round) {
        alone.push_back(run(o, client, null).seconds);
        {
            const attackers held(s.port, folder, idle, stalled);
            wait_until_idle(s.pid);
            beside.push_back(run(o, client, null).seconds);
        }
        // The next round begins alone: once the server has let them all go.
        while (entries_of("/proc/" + std::to_string(s.pid) + "/fd") > at_rest)
            usleep(10000);
    }
    stop(s);
    const double quiet = median(alone), crowded = median(beside);
    std::printf(
        "\n**One `obexftp -l` of %ld entries (-tpog) beside %d idle connections and %d "
        "stalled readers, median of %d interleaved rounds**\n\n",
        o.entries, idle, stalled, o.rounds);
    std::printf("| the server holds | median ms | x alone |\n|---|---:|---:|\n");
    std::printf("| no one else | %.1f | 1.00 |\n", quiet * 1e3);
    std::printf("| %d idle, %d stalled readers | %.1f | %.2f |\n", idle, stalled,
                crowded * 1e3, crowded / quiet);
}

std::vector<long> numbers(const std::string &list) {
    std::vector<long> values;
    std::istringstream in(list);
    for (std::string item; std::getline(in, item, ',');)
        values.push_back(std::stol(item));
    return values;
}

} // namespace

int main(int argc, char **argv) {
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--root" && has_value)
            o.root = argv[++i];
        else if (a == "--rounds" && has_value)
            o.rounds = std::atoi(argv[++i]);
        else if (a == "--entries" && has_value)
            o.entries = std::atol(argv[++i]);
        else if (a == "--memory" && has_value)
            o.memory = numbers(argv[++i]);
        else
            fail("usage: kelvane_obex_bench [--root DIR] [--rounds N] [--entries N] "
                 "[--memory N,N...]");
    }
    if (o.rounds < 1 || o.entries < 1 || o.memory.empty())
        fail("counts must be positive");
    if (mkdir(o.root.c_str(), 0755) != 0 && errno != EEXIST)
        fail_errno("mkdir " + o.root);
    o.obexftp = find_obexftp();
    signal(SIGPIPE, SIG_IGN);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    timing(o, null);
    memory(o, null);
    many_clients(o, null);
    beside_attackers(o, null);
    return 0;
}
