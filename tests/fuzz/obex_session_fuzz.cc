// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The OBEX server's request handling, fuzzed: an input is what a client
// sends on one connection. It goes into a session of the example's own
// code (examples/obex_session.c) as the server would hand it over, packet
// by packet, with libopenobex between, no socket and no clock; every byte
// the session answers is taken at once, and a listing it waits for is
// waited for. The seed inputs in obex_corpus/ are obexftp sessions recorded
// by record_obex_corpus.sh.
//
// Checked on every input, besides what the sanitizers catch (crashes,
// undefined behaviour, leaks, libopenobex asked for absurd allocations):
// the session comes to wait for the client or to its end; what it sends is
// whole response packets; nothing from outside the served folder is ever
// sent, through links or names that lead out; and ending the session
// leaves no descriptor open.
#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kelvane.h"
#include "obex_session.h"

namespace {

std::string root; // the fixture: served/ and, beside it, outside/
folder_service service;

// Found in the outside folder only: as a file's content, and as a name.
constexpr std::string_view secret = "kelvane-fuzz-secret-7d41";
constexpr std::string_view secret_name = "outside-entry-7d41";

[[noreturn]] void fail(const char *what, std::string_view detail = {}) {
    std::fprintf(stderr, "obex_session_fuzz: %s %.*s\n", what,
                 static_cast<int>(detail.size()), detail.data());
    std::abort();
}

int lowest_free_descriptor() {
    const int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

void make_file(const std::string &path, std::string_view content) {
    FILE *file = std::fopen(path.c_str(), "w");
    if (!file)
        fail("cannot make the fixture", path);
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
}

// The names obexftp's recorded sessions use (notes.txt, sub, inner.txt,
// deeper), a file of several packets, a folder of several packets'
// listing, a hidden file, a pipe, and links out of the served folder.
void make_tree() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base && *base ? base : "/tmp") + "/kelvane-obex-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data()))
        fail("mkdtemp", std::strerror(errno));
    root = pattern;
    const std::string served = root + "/served", outside = root + "/outside";
    for (const std::string &folder :
         {served, outside, served + "/sub", served + "/sub/deeper", served + "/many"})
        mkdir(folder.c_str(), 0755);
    make_file(outside + "/" + std::string(secret_name), secret);
    make_file(served + "/notes.txt", "notes & <draft>\n");
    make_file(served + "/.hidden", "hidden\n");
    make_file(served + "/sub/inner.txt", "inside sub\n");
    make_file(served + "/sub/deeper/bottom.txt", "two down\n");
    make_file(served + "/photo.jpg", std::string(5000, 'j'));
    for (int i = 0; i < 40; i++)
        make_file(served + "/many/entry-" + std::to_string(i) + "-of-a-folder.txt", "");
    symlink(outside.c_str(), (served + "/out").c_str());
    symlink((outside + "/" + std::string(secret_name)).c_str(),
            (served + "/outfile").c_str());
    symlink("../../outside", (served + "/sub/up").c_str());
    mkfifo((served + "/fifo").c_str(), 0644);
    service.served = open(served.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (service.served < 0)
        fail("cannot open the fixture", std::strerror(errno));
}

void remove_tree() {
    nftw(
        root.c_str(),
        [](const char *path, const struct stat *, int kind, struct FTW *) {
            return kind == FTW_DP ? rmdir(path) : unlink(path);
        },
        16, FTW_DEPTH | FTW_PHYS);
}

// Checks a piece of the session's output: whole response packets, each
// with the final bit (every response has it).
void check_packets(std::string_view output) {
    for (std::size_t at = 0; at < output.size();) {
        if (output.size() - at < 3)
            fail("a response packet cut short");
        const auto byte = [&](std::size_t i) {
            return static_cast<std::uint8_t>(output[at + i]);
        };
        const std::size_t length = static_cast<std::size_t>(byte(1)) << 8 | byte(2);
        if (!(byte(0) & 0x80) || length < 3 || length > output.size() - at)
            fail("not a whole response packet");
        at += length;
    }
}

// Waits for the listing the session awaits. (libFuzzer's timer interrupts
// the wait now and then.)
void wait_for_listing(const session *session) {
    struct pollfd listing = {session_listing_fd(session), POLLIN, 0};
    if (listing.fd < 0)
        fail("a listing awaited without its descriptor");
    int ready;
    do
        ready = poll(&listing, 1, 10000);
    while (ready < 0 && errno == EINTR);
    if (ready != 1)
        fail("the listing never had its next piece");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setlocale(LC_ALL, "C.UTF-8");
    service.from_utf16 = iconv_open("UTF-8", "UTF-16BE");
    if (service.from_utf16 == reinterpret_cast<iconv_t>(-1))
        fail("iconv_open", std::strerror(errno));
    service.listing_flags = SHOW_PARENT | SHOW_TIMES | SHOW_PERMS;
    make_tree();
    std::atexit(remove_tree);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // Taken before each input: libFuzzer itself may open descriptors between
    // them (its symbolizer, when it reports new functions).
    const int lowest_free_fd = lowest_free_descriptor();
    session *session;
    if (session_start(&session, &service) != 0)
        fail("session_start");
    std::string output;
    std::size_t taken = 0;
    for (bool waits = false; !waits;) {
        const std::uint8_t *bytes;
        std::uint8_t *space;
        switch (session_turn(session)) {
        case SESSION_SENDING: {
            const std::size_t pending = session_output(session, &bytes);
            const std::string_view piece(reinterpret_cast<const char *>(bytes), pending);
            check_packets(piece);
            output.append(piece);
            session_sent(session, pending);
            break;
        }
        case SESSION_LISTING:
            wait_for_listing(session);
            session_listing_ready(session);
            break;
        case SESSION_OVER: waits = true; break;
        default: {
            const std::size_t wanted = session_input_space(session, &space);
            const std::size_t given = std::min(wanted, size - taken);
            if (wanted == 0 || given == 0) {
                waits = true;
                break;
            }
            std::memcpy(space, data + taken, given);
            taken += given;
            session_received(session, given);
        }
        }
        const char *path;
        session_failure(session, &path); // said by the server; nothing to check here
    }
    session_end(session);
    if (output.find(secret) != std::string::npos ||
        output.find(secret_name) != std::string::npos)
        fail("something from outside the served folder was sent");
    if (lowest_free_descriptor() != lowest_free_fd)
        fail("a descriptor was left open");
    return 0;
}
