// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The OBEX server example (examples/obex_folder_server.c) end to end: the
// server on a free port over a fixture folder, browsed by the real obexftp
// client over TCP. obexftp writes a listing's body to standard output as it
// came, writes a fetched file into its working folder, and exits with the
// response code of a request that failed. The hostile clients are raw
// sockets (raw_obex.h).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fixture.h"
#include "raw_obex.h"

namespace {

// Response codes obexftp exits with (the final bit cleared).
constexpr int not_found = 0x44;
constexpr int forbidden = 0x43;

// Both sides run under one locale, so that the server's listing and
// kelvane's are written alike; a UTF-8 one, for the names beyond ASCII.
const std::vector<std::string> environment{"LC_ALL=C.UTF-8"};

std::string obexftp_program() {
    const char *path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (access((folder + "/obexftp").c_str(), X_OK) == 0)
            return folder + "/obexftp";
    return "";
}

std::string obex_missing() {
#ifndef OBEX_SERVER_PROGRAM
    return "the OBEX server example was not built: pkg-config found no libopenobex "
           "(Debian: libopenobex2-dev)";
#else
    return obexftp_program().empty() ? "obexftp is missing (Debian: obexftp)" : "";
#endif
}

// Skips where the server or the client is missing, saying which; fails
// instead where the environment says they must be there (CI sets
// KELVANE_TESTS_NEED_OBEX=1). The server confines every path with openat2,
// which valgrind 3.19 does not know: under it these tests skip too.
#define REQUIRE_OBEX()                                                                   \
    REQUIRE_PRESENT(obex_missing(), "KELVANE_TESTS_NEED_OBEX")                           \
    REQUIRE_OPENAT2()

std::string file_content(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Starts `program` with `args` in `cwd`, its standard output on `out` and
// its standard error into `err_path`; a child that hangs is ended by
// SIGALRM after `time_limit` seconds. Everything the child needs is made
// before the fork.
pid_t spawn(const std::string &program, const std::vector<std::string> &args, int out,
            const std::string &err_path, const std::string &cwd = ".",
            unsigned time_limit = 120) {
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &entry : environment)
        envp.push_back(const_cast<char *>(entry.c_str()));
    envp.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(cwd.c_str()) != 0)
            _exit(126);
        alarm(time_limit);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return child;
}

int exit_status(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The example server over `folder` with `arguments` (listing letters,
// limits), on a free port, for the scope.
struct running_server {
    temp_folder logs;
    pid_t pid = -1;
    std::string port;

    running_server(const std::string &folder, std::vector<std::string> arguments) {
#ifdef OBEX_SERVER_PROGRAM
        arguments.insert(arguments.begin(), "--port=0");
        arguments.push_back(folder);
        int channel[2];
        if (pipe2(channel, O_CLOEXEC) != 0)
            return;
        pid = spawn(OBEX_SERVER_PROGRAM, arguments, channel[1], logs / "err", ".", 240);
        close(channel[1]);
        // The port comes alone on the first line once the server listens.
        struct pollfd ready = {channel[0], POLLIN, 0};
        char c;
        while (poll(&ready, 1, 30000) == 1 && read(channel[0], &c, 1) == 1 && c != '\n')
            port += c;
        close(channel[0]);
#else
        (void)folder;
        (void)arguments;
#endif
    }

    // Ends the server as a user would, and gives its exit status: 0 when it
    // ended cleanly (under the sanitizers, also without a leak or an error).
    int stop() {
        if (pid <= 0)
            return -1;
        kill(pid, SIGTERM);
        const int status = exit_status(pid);
        pid = -1;
        return status;
    }

    // What the server said on standard error: nothing, while every listing
    // ends well.
    std::string errors() { return file_content(logs / "err"); }

    ~running_server() {
        if (pid > 0)
            stop();
    }

    // obexftp connected to the server, run in `cwd`.
    run_result browse(const std::vector<std::string> &args, const std::string &cwd = ".") {
        std::vector<std::string> all{"-n", "127.0.0.1:" + port};
        all.insert(all.end(), args.begin(), args.end());
        run_options options;
        options.program = obexftp_program();
        options.cwd = cwd;
        options.env = environment;
        options.time_limit = 120;
        return run_program(all, options);
    }
};

void expect_clean_stop(running_server &server) {
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(server.errors(), "");
}

// The folder served: names that need escaping and one beyond ASCII, a
// subfolder two deep, a hidden file, symbolic links leading out of it, and
// with `large` a folder of 20,000 entries.
struct served_tree {
    temp_folder root;
    std::string path = root / "served";
    std::string outside = root / "outside";

    explicit served_tree(bool large = false) {
        make_folder(path);
        make_folder(outside);
        make_file(outside + "/secret.txt", 0644, "not for the client\n");
        make_file(path + "/notes & <draft>.txt", 0644, "ampersand and angle\n");
        make_file(path + "/caf\u00e9.txt", 0644, "beyond ASCII\n");
        std::string photo;
        for (unsigned i = 0; i < 200000; i++)
            photo += static_cast<char>((i * 2654435761u) >> 24);
        make_file(path + "/photo.jpg", 0644, photo);
        make_file(path + "/.hidden", 0644, "hidden\n");
        make_folder(path + "/sub");
        make_file(path + "/sub/inner.txt", 0644, "inside sub\n");
        make_folder(path + "/sub/deeper");
        make_file(path + "/sub/deeper/bottom.txt", 0644, "two down\n");
        make_folder(path + "/folder & <x> \u00e9");
        make_file(path + "/folder & <x> \u00e9/f.txt", 0644, "in a named folder\n");
        EXPECT_EQ(symlink(outside.c_str(), (path + "/out").c_str()), 0);
        EXPECT_EQ(symlink((outside + "/secret.txt").c_str(), (path + "/outfile").c_str()), 0);
        if (large) {
            make_folder(path + "/big");
            for (int i = 0; i < 20000; i++)
                make_file(path + "/big/entry-" + std::to_string(i) + "-of-a-large-folder.txt");
        }
    }
};

// kelvane's document for `args`, confined to the served folder `dir` as
// the server's listings are.
std::string kelvane_document(const std::string &dir, std::vector<std::string> args) {
    args.insert(args.begin(), "--beneath=" + dir);
    run_options options;
    options.env = environment;
    const run_result result = run_program(args, options);
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
}

// Every entry under `path` with its kind, size and modification time.
std::string snapshot(const std::string &path) {
    static std::string lines;
    lines.clear();
    nftw(
        path.c_str(),
        [](const char *entry, const struct stat *status, int, struct FTW *) {
            lines += std::string(entry) + " " + std::to_string(status->st_mode) + " " +
                     std::to_string(status->st_size) + " " +
                     std::to_string(status->st_mtim.tv_sec) + "." +
                     std::to_string(status->st_mtim.tv_nsec) + "\n";
            return 0;
        },
        16, FTW_PHYS);
    return lines;
}

// obexftp exits with 255 after a success (0.24, in Debian 12); 0 is
// taken too, should a later one mend that.
void expect_success(const run_result &result) {
    EXPECT_TRUE(result.status == 255 || result.status == 0)
        << "status " << result.status << ": " << result.out << result.err;
}

TEST(ObexServer, ListingsAreKelvanesDocuments) {
    REQUIRE_OBEX();
    const served_tree tree(true);
    struct row {
        const char *what;
        std::vector<std::string> letters;
        std::vector<std::string> client;
        std::vector<std::string> kelvane; // in the served folder
    };
    const std::vector<row> rows{
        {"the served folder, -p -o -g", {"-p", "-o", "-g"}, {"-l"}, {"-p", "-o", "-g", "."}},
        // No way leads up from the served folder, so no parent-folder.
        {"the served folder with -P", {"-P"}, {"-l"}, {"."}},
        {"hidden entries with -H", {"-H", "-p"}, {"-l"}, {"-H", "-p", "."}},
        {"a subfolder named by -l", {"-P", "-t"}, {"-l", "sub"}, {"-P", "-t", "sub"}},
        {"a subfolder entered by -c", {"-P", "-t"}, {"-c", "sub", "-l"}, {"-P", "-t", "sub"}},
        {"two folders down", {"-P"}, {"-l", "sub/deeper"}, {"-P", "sub/deeper"}},
        {"a folder named with &, < and \u00e9", {"-P", "-p"},
         {"-c", "folder & <x> \u00e9", "-l"}, {"-P", "-p", "folder & <x> \u00e9"}},
        {"20,000 entries", {"-p"}, {"-l", "big"}, {"-p", "big"}},
    };
    for (const row &row : rows) {
        SCOPED_TRACE(row.what);
        running_server server(tree.path, row.letters);
        ASSERT_FALSE(server.port.empty()) << server.errors();
        const std::string expected = kelvane_document(tree.path, row.kelvane);
        const run_result result = server.browse(row.client);
        expect_success(result);
        EXPECT_EQ(result.out, expected);
        expect_clean_stop(server);
    }
    // The client asks for packets of 1 KiB: the large folder's document
    // came in over a thousand of them.
    EXPECT_GT(kelvane_document(tree.path, {"big"}).size(), 1000u * 1024);
}

TEST(ObexServer, FetchedFilesArriveWhole) {
    REQUIRE_OBEX();
    const served_tree tree;
    temp_folder client;
    running_server server(tree.path, {});
    ASSERT_FALSE(server.port.empty()) << server.errors();
    struct row {
        const char *what;
        std::vector<std::string> client;
        std::string fetched; // where obexftp writes it, in its folder
        std::string source;  // in the served folder
    };
    const std::vector<row> rows{
        {"a name with & and <", {"-g", "notes & <draft>.txt"}, "notes & <draft>.txt",
         "notes & <draft>.txt"},
        {"a name beyond ASCII", {"-g", "caf\u00e9.txt"}, "caf\u00e9.txt", "caf\u00e9.txt"},
        {"200 KB, many packets", {"-g", "photo.jpg"}, "photo.jpg", "photo.jpg"},
        {"in a subfolder", {"-c", "sub", "-g", "inner.txt"}, "inner.txt", "sub/inner.txt"},
    };
    for (const row &row : rows) {
        SCOPED_TRACE(row.what);
        expect_success(server.browse(row.client, client.path));
        const std::string source = file_content(tree.path + "/" + row.source);
        EXPECT_FALSE(source.empty());
        EXPECT_EQ(file_content(client / row.fetched), source);
    }
    expect_clean_stop(server);
}

TEST(ObexServer, RefusedRequestsFailAndChangeNothing) {
    REQUIRE_OBEX();
    const served_tree tree;
    temp_folder client;
    make_file(client / "upload.txt", 0644, "would be sent\n");
    const std::string served_before = snapshot(tree.root.path);
    const std::string client_before = snapshot(client.path);
    running_server server(tree.path, {});
    ASSERT_FALSE(server.port.empty()) << server.errors();
    const std::map<std::string, std::pair<std::vector<std::string>, int>> rows{
        {"a missing folder", {{"-l", "missing"}, not_found}},
        {"a missing file", {{"-g", "missing.txt"}, not_found}},
        {"a link to a folder outside", {{"-l", "out"}, forbidden}},
        {"a link to a file outside", {{"-g", "outfile"}, forbidden}},
        {"a hidden file, without -H", {{"-g", ".hidden"}, not_found}},
        {"a folder fetched as a file", {{"-g", "sub"}, not_found}},
        {"a file sent (-p)", {{"-p", "upload.txt"}, forbidden}},
        {"a file deleted (-k)", {{"-k", "notes & <draft>.txt"}, forbidden}},
    };
    for (const auto &[what, row] : rows) {
        SCOPED_TRACE(what);
        const run_result result = server.browse(row.first, client.path);
        EXPECT_EQ(result.status, row.second) << result.out << result.err;
    }
    expect_clean_stop(server);
    // Nothing was written into the served folder or taken out of it.
    EXPECT_EQ(snapshot(tree.root.path), served_before);
    EXPECT_EQ(snapshot(client.path), client_before);
}

TEST(ObexServer, FourClientsAtOnceEachGetTheWholeLargeListing) {
    REQUIRE_OBEX();
    const served_tree tree(true);
    running_server server(tree.path, {"-p", "-t"});
    ASSERT_FALSE(server.port.empty()) << server.errors();
    temp_folder client;
    std::vector<pid_t> clients;
    for (int i = 0; i < 4; i++) {
        const std::string out = client / ("out-" + std::to_string(i));
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        clients.push_back(spawn(obexftp_program(),
                                {"-n", "127.0.0.1:" + server.port, "-l", "big"}, fd,
                                client / ("err-" + std::to_string(i))));
        close(fd);
    }
    std::vector<int> statuses;
    for (const pid_t child : clients)
        statuses.push_back(exit_status(child));
    const std::string expected = kelvane_document(tree.path, {"-p", "-t", "big"});
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE("client " + std::to_string(i));
        EXPECT_TRUE(statuses[i] == 255 || statuses[i] == 0) << statuses[i];
        EXPECT_EQ(file_content(client / ("out-" + std::to_string(i))), expected);
    }
    expect_clean_stop(server);
}

using steady = std::chrono::steady_clock;

double seconds_since(steady::time_point start) {
    return std::chrono::duration<double>(steady::now() - start).count();
}

// What a process holds: its descriptors and its threads.
struct footprint {
    long descriptors = 0;
    long threads = 0;
    bool operator==(const footprint &) const = default;
};

std::ostream &operator<<(std::ostream &out, const footprint &f) {
    return out << f.descriptors << " descriptors, " << f.threads << " threads";
}

long entries_of(const std::string &path) {
    std::error_code error;
    long count = 0;
    for (std::filesystem::directory_iterator it(path, error), end; !error && it != end;
         it.increment(error))
        count++;
    return count;
}

footprint footprint_of(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    return {entries_of(proc + "/fd"), entries_of(proc + "/task")};
}

// Waits until `done` holds or `deadline` has passed; gives whether it held.
bool eventually(const std::function<bool()> &done, steady::time_point deadline) {
    for (;;) {
        if (done())
            return true;
        if (steady::now() >= deadline)
            return false;
        usleep(20000);
    }
}

// Whether the server has closed the connection: its end has come, or a
// reset. Reads nothing, so that a reader that stalls stays stalled.
bool closed(int fd) {
    struct pollfd connection = {fd, POLLIN | POLLRDHUP, 0};
    return poll(&connection, 1, 0) == 1 &&
           (connection.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

// Whether more has come on `fd` than the small responses that lead a
// listing: the server is sending its packets, and waits for them to go.
bool filled(int fd) {
    int waiting = 0;
    return ioctl(fd, FIONREAD, &waiting) == 0 && waiting >= 4096;
}

bool was_reset(int fd) {
    int error = 0;
    socklen_t size = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
           error == ECONNRESET;
}

// Everything the server sends on `fd` until it closes the connection, or
// what came within `seconds` when it does not.
raw_obex::bytes read_to_end(int fd, int seconds) {
    raw_obex::bytes data;
    const steady::time_point deadline = steady::now() + std::chrono::seconds(seconds);
    std::uint8_t buffer[4096];
    for (;;) {
        struct pollfd connection = {fd, POLLIN, 0};
        if (steady::now() >= deadline || poll(&connection, 1, 100) < 0)
            return data;
        const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return data;
        if (got > 0)
            data.insert(data.end(), buffer, buffer + got);
    }
}

// The next packet the server sends on `fd`, or less when none comes whole
// within 5 s.
raw_obex::bytes read_packet(int fd) {
    raw_obex::bytes data;
    std::size_t length = 3;
    std::uint8_t buffer[4096];
    for (struct pollfd connection = {fd, POLLIN, 0};
         data.size() < length && poll(&connection, 1, 5000) == 1;) {
        const ssize_t got =
            recv(fd, buffer, std::min(sizeof buffer, length - data.size()), 0);
        if (got <= 0)
            break;
        data.insert(data.end(), buffer, buffer + got);
        if (data.size() == 3)
            length = std::max<std::size_t>(3, data[1] << 8 | data[2]);
    }
    return data;
}

// The attackers' connections, closed at the end of the scope.
struct connections {
    std::vector<int> fds;
    connections() = default;
    connections(const connections &) = delete;
    connections &operator=(const connections &) = delete;
    ~connections() {
        for (const int fd : fds)
            if (fd >= 0)
                close(fd);
    }
};

// The hostile-clients case: one server with short limits.
constexpr int limit = 2;        // seconds, each time limit
constexpr int per_address = 16; // the server's default
constexpr int attackers = 100;  // connections in each wave that stays
constexpr int addresses = 3;    // 127.0.0.2 to 127.0.0.4: 48 held of 64

struct hostile_case {
    const served_tree &tree;
    running_server &server;
    footprint at_rest;
    std::string sub_listing;

    // obexftp, from 127.0.0.1, lists a folder and fetches a file, whole,
    // within 2 s, whatever the attackers hold.
    void expect_served() {
        SCOPED_TRACE("obexftp beside the attackers");
        temp_folder client;
        const steady::time_point start = steady::now();
        const run_result result =
            server.browse({"-l", "sub", "-g", "photo.jpg"}, client.path);
        EXPECT_LE(seconds_since(start), 2.0);
        expect_success(result);
        EXPECT_EQ(result.out, sub_listing);
        EXPECT_EQ(file_content(client / "photo.jpg"),
                  file_content(tree.path + "/photo.jpg"));
    }

    // `attackers` connections from `from` addresses, each begun by `begin`:
    // those past 16 an address are closed at once, obexftp is served while
    // the others are held, and those are closed within the limit plus a
    // second, leaving the server's descriptors and threads as they were.
    // The limit runs from when they were made or, for those `stalled`,
    // from when the server's responses reach them. The held connections
    // are left in `held`, for what else the caller checks.
    void hold_then_close(const char *what, int from,
                         const std::function<void(int)> &begin, connections &held,
                         bool stalled = false) {
        SCOPED_TRACE(what);
        connections refused;
        for (int i = 0; i < attackers; i++) {
            const int fd = raw_obex::connect_from(raw_obex::attacker_address(i, from),
                                                  server.port, stalled ? 4096 : 0);
            ASSERT_GE(fd, 0) << "connection " << i << ": " << std::strerror(errno);
            (i / from < per_address ? held : refused).fds.push_back(fd);
            begin(fd);
        }
        const steady::time_point made = steady::now();
        const auto all_closed = [](const connections &c) {
            return std::all_of(c.fds.begin(), c.fds.end(), closed);
        };
        // Refused: answered at once, well before any limit could close them.
        EXPECT_TRUE(eventually([&] { return all_closed(refused); },
                               made + std::chrono::milliseconds(1000)));
        EXPECT_TRUE(std::none_of(held.fds.begin(), held.fds.end(), closed));
        EXPECT_EQ(held.fds.size(), static_cast<std::size_t>(from * per_address));
        if (stalled) {
            const auto all_filled = [&] {
                return std::all_of(held.fds.begin(), held.fds.end(), filled);
            };
            EXPECT_TRUE(eventually(all_filled, made + std::chrono::seconds(20)));
        }
        const steady::time_point waiting = stalled ? steady::now() : made;
        expect_served();
        const steady::time_point deadline = waiting + std::chrono::seconds(limit + 1);
        EXPECT_TRUE(eventually([&] { return all_closed(held); }, deadline))
            << std::count_if(held.fds.begin(), held.fds.end(), closed) << " of "
            << held.fds.size() << " closed";
        EXPECT_TRUE(
            eventually([&] { return footprint_of(server.pid) == at_rest; }, deadline))
            << footprint_of(server.pid) << ", " << at_rest << " before";
    }
};

TEST(ObexServer, ConnectionsPastTheLimitAreClosedAtOnce) {
    REQUIRE_OBEX();
    const served_tree tree;
    running_server server(tree.path, {"--max-clients=3"});
    ASSERT_FALSE(server.port.empty()) << server.errors();
    const footprint at_rest = footprint_of(server.pid);
    // Three idle connections, each from an address of its own, fill it.
    connections held;
    for (int i = 0; i < 3; i++)
        held.fds.push_back(
            raw_obex::connect_from(raw_obex::attacker_address(i, 3), server.port));
    connections past;
    past.fds.push_back(raw_obex::connect_from("127.0.0.5", server.port));
    EXPECT_TRUE(eventually([&] { return closed(past.fds[0]); },
                           steady::now() + std::chrono::seconds(1)));
    EXPECT_TRUE(std::none_of(held.fds.begin(), held.fds.end(), closed));
    const steady::time_point start = steady::now();
    const run_result turned_away = server.browse({"-l"});
    EXPECT_LT(seconds_since(start), 2.0);
    EXPECT_TRUE(turned_away.status != 0 && turned_away.status != 255)
        << turned_away.status;
    // One leaves: the next is served.
    close(held.fds[0]);
    held.fds[0] = -1;
    EXPECT_TRUE(eventually(
        [&] { return footprint_of(server.pid).descriptors == at_rest.descriptors + 2; },
        steady::now() + std::chrono::seconds(1)));
    expect_success(server.browse({"-l"}));
    expect_clean_stop(server);
}

TEST(ObexServer, NamesThatLeadOutAreForbidden) {
    REQUIRE_OBEX();
    const served_tree tree;
    running_server server(tree.path, {});
    ASSERT_FALSE(server.port.empty()) << server.errors();
    connections client;
    client.fds.push_back(raw_obex::connect_from("127.0.0.2", server.port));
    ASSERT_TRUE(raw_obex::send_all(client.fds[0], raw_obex::connect_request(1024)));
    ASSERT_EQ(read_packet(client.fds[0]).at(0), 0xa0);
    constexpr std::uint8_t forbidden_response = 0xc3;
    const std::vector<std::string> names{"..", "../..", "/etc", "sub/../..",
                                         std::string("sub\0../..", 9)};
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        for (const raw_obex::bytes &request :
             {raw_obex::get_file_request(name), raw_obex::get_listing_request(name),
              raw_obex::packet(
                  0x85, raw_obex::join({0x02, 0x00}, raw_obex::name_header(name)))}) {
            ASSERT_TRUE(raw_obex::send_all(client.fds[0], request));
            const raw_obex::bytes response = read_packet(client.fds[0]);
            EXPECT_TRUE(!response.empty() && response[0] == forbidden_response)
                << (response.empty() ? -1 : response[0]);
        }
    }
    expect_clean_stop(server);
}

TEST(ObexServer, HoldsAgainstHostileClients) {
    REQUIRE_OBEX();
    const served_tree tree(true);
    const std::string seconds = std::to_string(limit);
    running_server server(tree.path,
                          {"--idle-timeout=" + seconds, "--packet-timeout=" + seconds,
                           "--send-timeout=" + seconds});
    ASSERT_FALSE(server.port.empty()) << server.errors();
    hostile_case hostile{tree, server, footprint_of(server.pid),
                         kelvane_document(tree.path, {"sub"})};

    {
        // 1,000 malformed packets, each on its own connection: every one
        // is answered Bad Request, and its connection closed.
        SCOPED_TRACE("malformed packets");
        using raw_obex::bytes;
        const std::vector<std::pair<const char *, bytes>> kinds{
            {"a header length below 3", raw_obex::packet(0x83, {0x01, 0x00, 0x01})},
            {"a packet length below 3", {0x80, 0x00, 0x01}},
            {"a packet length past the MTU", {0x02, 0xff, 0xff, 0x48, 0xff, 0xfc}},
            {"a header past the packet's end",
             raw_obex::packet(0x83, {0x42, 0x00, 0x20, 'x'})},
            {"a bad header after CONNECT",
             raw_obex::join(raw_obex::connect_request(1024),
                            raw_obex::packet(0x83, {0x01, 0x00, 0x00}))},
        };
        int answered = 0;
        for (int i = 0; i < 1000; i++) {
            const auto &[what, request] = kinds[i % kinds.size()];
            const int fd = raw_obex::connect_from(
                raw_obex::attacker_address(i, addresses), server.port);
            ASSERT_GE(fd, 0) << std::strerror(errno);
            const bool sent = raw_obex::send_all(fd, request);
            const bytes response = read_to_end(fd, 5);
            close(fd);
            const bytes bad_request{0xc0, 0x00, 0x03};
            if (sent && response.size() >= 3 &&
                bytes(response.end() - 3, response.end()) == bad_request)
                answered++;
            else
                ADD_FAILURE() << what << ": " << response.size() << " bytes of response";
            if (answered + 5 < i) // not one failure per connection
                break;
        }
        EXPECT_EQ(answered, 1000);
        hostile.expect_served();
        EXPECT_TRUE(
            eventually([&] { return footprint_of(server.pid) == hostile.at_rest; },
                       steady::now() + std::chrono::seconds(1)));
    }
    {
        connections held;
        hostile.hold_then_close(
            "idle connections", addresses, [](int) {}, held);
    }
    {
        // Readers that ask for the 20,000-entry listing and never read: the
        // server can't send them their packets, and resets them.
        connections held;
        const raw_obex::bytes requests = raw_obex::stalled_listing_requests("big", 60);
        hostile.hold_then_close(
            "stalled readers", addresses,
            [&](int fd) { raw_obex::send_all(fd, requests); }, held, true);
        EXPECT_TRUE(std::all_of(held.fds.begin(), held.fds.end(), was_reset));
    }
    {
        // Half packets, from one address: a CONNECT of 7 bytes cut after 5.
        connections held;
        const raw_obex::bytes half{0x80, 0x00, 0x07, 0x10, 0x00};
        hostile.hold_then_close(
            "half packets", 1, [&](int fd) { raw_obex::send_all(fd, half); }, held);
    }

    // Clients inside listings when SIGTERM comes: the server ends cleanly
    // (under the sanitizers, without a report, leaks included).
    connections inside;
    for (int i = 0; i < 8; i++) {
        const int fd =
            raw_obex::connect_from(raw_obex::attacker_address(i, addresses), server.port);
        ASSERT_GE(fd, 0);
        inside.fds.push_back(fd);
        raw_obex::send_all(fd, raw_obex::join(raw_obex::connect_request(1024),
                                              raw_obex::get_listing_request("big")));
    }
    for (const int fd : inside.fds) {
        // The CONNECT response, then the listing's first packet: under way.
        const raw_obex::bytes connected = read_packet(fd), first = read_packet(fd);
        EXPECT_TRUE(!connected.empty() && connected[0] == 0xa0);
        EXPECT_TRUE(!first.empty() && first[0] == 0x90);
    }
    expect_clean_stop(server);
}

} // namespace
