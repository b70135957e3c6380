// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Pulls listings of one folder as a server would, and prints what it
// measured on one line; documents go nowhere (to /dev/null, or are only
// counted). Every listing has every attribute (-tpog).
//
//   kelvane_pull cat FOLDER PIECE [nonblock]
//                                         the document, pulled in pieces, on
//                                         standard output (for checking)
//   kelvane_pull push FOLDER              kelvane_at() into /dev/null: seconds
//   kelvane_pull pull FOLDER PIECE        read in pieces: seconds
//   kelvane_pull nonblock FOLDER PIECE    the same without waiting, polling
//                                         the descriptor: seconds, the
//                                         longest read in seconds, the
//                                         reads that said -EAGAIN, and the
//                                         time 99 reads in 100 stay within
//   kelvane_pull first FOLDER PIECE       seconds from kelvane_open() to the
//                                         first piece, then closed
//   kelvane_pull paced FOLDER PIECE US    a piece, then US away, to the end:
//                                         seconds in all, and away
//   kelvane_pull memory FOLDER PIECE      the whole document into memory, then
//                                         sent in pieces: seconds
//   kelvane_pull erase FOLDER PIECE       the same, each piece copied from the
//                                         front and erased: seconds
//   kelvane_pull many FOLDER COUNT PIECE [nonblock]
//                                         COUNT listings each read PIECE and
//                                         left open: the most threads alive at
//                                         once while they open, those alive
//                                         200 ms later, descriptors and KiB of
//                                         resident memory per listing
//
// The benchmark (bench.cc) runs it through its launcher, which gives the
// peak RSS of each run.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "kelvane.h"
#include "tasks.h"

namespace {

constexpr unsigned every_attribute = SHOW_TIMES | SHOW_PERMS | SHOW_OWNER | SHOW_GROUP;

double now() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

[[noreturn]] void fail(const std::string &what, int error) {
    std::fprintf(stderr, "kelvane_pull: %s: %s\n", what.c_str(), std::strerror(error));
    std::exit(1);
}

kelvane_listing *open_listing(const char *folder, unsigned flags) {
    kelvane_listing *listing;
    if (const int opened = kelvane_open(&listing, AT_FDCWD, folder, every_attribute | flags))
        fail(folder, -opened);
    return listing;
}

void close_listing(kelvane_listing *listing) {
    if (const int closed = kelvane_close(listing))
        fail("kelvane_close", -closed);
}

// A read that may not wait: polls until something is there.
ssize_t read_when_ready(kelvane_listing *listing, char *buffer, std::size_t size,
                        long &would_wait) {
    for (;;) {
        const ssize_t n = kelvane_read(listing, buffer, size);
        if (n != -EAGAIN)
            return n;
        ++would_wait;
        struct pollfd ready = {kelvane_fd(listing), POLLIN, 0};
        poll(&ready, 1, -1);
    }
}

int cat(const char *folder, std::size_t piece, bool nonblock) {
    std::vector<char> buffer(piece);
    kelvane_listing *listing = open_listing(folder, nonblock ? KELVANE_NONBLOCK : 0);
    long would_wait = 0;
    for (ssize_t n; (n = read_when_ready(listing, buffer.data(), piece, would_wait)) != 0;) {
        if (n < 0)
            fail("kelvane_read", static_cast<int>(-n));
        std::fwrite(buffer.data(), 1, static_cast<std::size_t>(n), stdout);
    }
    close_listing(listing);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int push(const char *folder) {
    std::FILE *sink = std::fopen("/dev/null", "w");
    const double start = now();
    if (const int result = kelvane(sink, folder, every_attribute))
        fail(folder, -result);
    std::fflush(sink);
    std::printf("%.6f\n", now() - start);
    std::fclose(sink);
    return 0;
}

int pull(const char *folder, std::size_t piece, bool nonblock) {
    std::vector<char> buffer(piece);
    const double start = now();
    kelvane_listing *listing = open_listing(folder, nonblock ? KELVANE_NONBLOCK : 0);
    std::vector<double> reads;
    long would_wait = 0;
    for (;;) {
        const double before = now();
        const ssize_t n = kelvane_read(listing, buffer.data(), piece);
        reads.push_back(now() - before);
        if (n == -EAGAIN) {
            ++would_wait;
            struct pollfd ready = {kelvane_fd(listing), POLLIN, 0};
            poll(&ready, 1, -1);
            continue;
        }
        if (n < 0)
            fail("kelvane_read", static_cast<int>(-n));
        if (n == 0)
            break;
    }
    close_listing(listing);
    if (nonblock) {
        std::sort(reads.begin(), reads.end());
        std::printf("%.6f %.6f %ld %.6f\n", now() - start, reads.back(), would_wait,
                    reads[reads.size() * 99 / 100]);
    } else {
        std::printf("%.6f\n", now() - start);
    }
    return 0;
}

int first(const char *folder, std::size_t piece) {
    std::vector<char> buffer(piece);
    const double start = now();
    kelvane_listing *listing = open_listing(folder, 0);
    if (kelvane_read(listing, buffer.data(), piece) <= 0)
        fail("kelvane_read", EIO);
    const double seconds = now() - start;
    close_listing(listing);
    std::printf("%.6f\n", seconds);
    return 0;
}

int paced(const char *folder, std::size_t piece, long away_us) {
    std::vector<char> buffer(piece);
    double away = 0;
    const double start = now();
    kelvane_listing *listing = open_listing(folder, 0);
    while (kelvane_read(listing, buffer.data(), piece) > 0) {
        const double left = now();
        const struct timespec pause = {away_us / 1'000'000, (away_us % 1'000'000) * 1000};
        clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
        away += now() - left;
    }
    close_listing(listing);
    std::printf("%.6f %.6f\n", now() - start, away);
    return 0;
}

// The document written whole into memory first, then handed out in
// pieces: as is, or copied from the front of the buffer and erased from it
// piece by piece.
int kept_in_memory(const char *folder, std::size_t piece, bool erase) {
    std::vector<char> packet(piece);
    const double start = now();
    char *document = nullptr;
    std::size_t size = 0;
    std::FILE *memory = open_memstream(&document, &size);
    if (const int result = kelvane(memory, folder, every_attribute))
        fail(folder, -result);
    std::fclose(memory);
    if (erase) {
        while (size > 0) {
            const std::size_t n = std::min(piece, size);
            std::memcpy(packet.data(), document, n);
            std::memmove(document, document + n, size - n);
            size -= n;
        }
    } else {
        for (std::size_t sent = 0; sent < size; sent += std::min(piece, size - sent))
            std::memcpy(packet.data(), document + sent, std::min(piece, size - sent));
    }
    std::free(document);
    std::printf("%.6f\n", now() - start);
    return 0;
}

// The descriptors this process has open, but for the one that reads them.
int open_descriptors() {
    return entries_of("/proc/self/fd") - 1;
}

long resident_kib() {
    long pages = 0, resident = 0;
    std::FILE *statm = std::fopen("/proc/self/statm", "r");
    if (!statm || std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
        fail("/proc/self/statm", EIO);
    std::fclose(statm);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int many(const char *folder, int count, std::size_t piece, bool nonblock) {
    std::vector<char> buffer(piece);
    std::vector<kelvane_listing *> listings;
    const int descriptors = open_descriptors();
    const long resident = resident_kib();
    long would_wait = 0;
    // The most threads alive at once while the listings open, but for the
    // one counting them.
    std::atomic<bool> opened{false};
    std::atomic<int> most{0};
    std::thread counter([&] {
        for (; !opened; usleep(200))
            most = std::max(most.load(), tasks_of(getpid()) - 1);
    });
    for (int i = 0; i < count; ++i) {
        kelvane_listing *listing = open_listing(folder, nonblock ? KELVANE_NONBLOCK : 0);
        for (std::size_t got = 0; got < piece;) {
            const ssize_t n = read_when_ready(listing, buffer.data(), piece - got, would_wait);
            if (n <= 0)
                fail("kelvane_read", n < 0 ? static_cast<int>(-n) : EIO);
            got += static_cast<std::size_t>(n);
        }
        listings.push_back(listing);
    }
    opened = true;
    counter.join();
    // Feeders linger a while after filling their ring: count what stays.
    usleep(200'000);
    const int threads = tasks_of(getpid());
    const double per_descriptors =
        static_cast<double>(open_descriptors() - descriptors) / count;
    const double per_kib = static_cast<double>(resident_kib() - resident) / count;
    for (kelvane_listing *listing : listings)
        close_listing(listing);
    std::printf("%d %d %.2f %.1f\n", most.load(), threads, per_descriptors, per_kib);
    return 0;
}

int usage() {
    std::fputs("usage: kelvane_pull cat|push|pull|nonblock|first|paced|memory|erase|many "
               "FOLDER [PIECE] ...\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3)
        return usage();
    const std::string mode = argv[1];
    const char *folder = argv[2];
    const auto piece = [&](int i) -> std::size_t {
        return argc > i ? std::strtoul(argv[i], nullptr, 10) : 0;
    };
    if (mode == "push")
        return push(folder);
    if (piece(3) == 0)
        return usage();
    if (mode == "cat")
        return cat(folder, piece(3), argc == 5 && std::string(argv[4]) == "nonblock");
    if (mode == "pull" || mode == "nonblock")
        return pull(folder, piece(3), mode == "nonblock");
    if (mode == "first")
        return first(folder, piece(3));
    if (mode == "paced" && argc == 5)
        return paced(folder, piece(3), std::atol(argv[4]));
    if (mode == "memory" || mode == "erase")
        return kept_in_memory(folder, piece(3), mode == "erase");
    if (mode == "many" && argc >= 5)
        return many(folder, std::atoi(argv[3]), piece(4),
                    argc == 6 && std::string(argv[5]) == "nonblock");
    return usage();
}
