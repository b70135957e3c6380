// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// A listing pulled piece by piece: whatever the size of the pieces, the
// way the folder is walked and whether reads may wait, the bytes read are
// the document kelvane_at() writes; a path that can't be listed says why
// before anything is read; closing gives kelvane_at()'s result and leaves
// nothing behind, wherever the listing stopped.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fixture.h"
#include "forced_plan.h"
#include "kelvane.h"
#include "read_ahead.h"

namespace {

constexpr unsigned every_flag =
    SHOW_PARENT | SHOW_HIDDEN | SHOW_TIMES | SHOW_PERMS | SHOW_OWNER | SHOW_GROUP;

struct c_locale_environment : ::testing::Environment {
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
};
const auto *const locale_environment =
    ::testing::AddGlobalTestEnvironment(new c_locale_environment);

listing list_at(int root, const std::string &path, unsigned flags) {
    listing result{};
    result.document = written_by([&](std::FILE *out) {
        result.result = kelvane_at(out, root, path.c_str(), flags);
    });
    return result;
}

// Everything one listing gave, read in pieces of `piece` bytes; where reads
// may not wait, the listing's descriptor is polled between them.
struct pulled {
    int opened = 0;
    int closed = 0;
    std::string document;
    int last_read = 0;     // what ended the reading: 0, or a negated errno
    int short_pieces = 0;  // pieces short of `piece` before the last one
    long would_wait = 0;   // reads that said -EAGAIN
    bool null_listing = false;
    int most_threads = 0; // the listing's threads alive between reads, when counted
};

pulled pull(int root, const std::string &path, unsigned flags, std::size_t piece,
            bool count_threads = false) {
    pulled p;
    kelvane_listing *listing = reinterpret_cast<kelvane_listing *>(&p);
    p.opened = kelvane_open(&listing, root, path.c_str(), flags);
    p.null_listing = listing == nullptr;
    if (p.opened != 0)
        return p;
    std::vector<char> buffer(piece);
    bool short_before = false;
    for (;;) {
        const ssize_t n = kelvane_read(listing, buffer.data(), piece);
        if (n == -EAGAIN) {
            ++p.would_wait;
            struct pollfd ready = {kelvane_fd(listing), POLLIN, 0};
            if (poll(&ready, 1, 20'000) != 1) {
                p.last_read = -ETIMEDOUT;
                break;
            }
            continue;
        }
        if (n <= 0) {
            p.last_read = static_cast<int>(n);
            break;
        }
        p.short_pieces += short_before;
        short_before = static_cast<std::size_t>(n) < piece;
        p.document.append(buffer.data(), static_cast<std::size_t>(n));
        if (count_threads)
            p.most_threads = std::max(p.most_threads, listing_threads());
    }
    p.closed = kelvane_close(listing);
    return p;
}

// Names that need escaping, or are not what the locale reads, beside
// hidden ones, a folder and a link to it.
void fill_with_hostile_names(const temp_folder &tree) {
    for (const char *name : {"a&b", "<tag>", "quote\"d", "tab\there", "line\nfeed",
                             "caf\xC3\xA9", "\xE2\x82\xAC", "bad\xFFutf8", "\x01start",
                             ".hidden", ".also&hidden", "plain"})
        make_file(tree / name, 0640, name);
    make_folder(tree / "sub");
    make_file(tree / "sub/inner");
    ASSERT_EQ(symlink("sub", (tree / "to-sub").c_str()), 0);
}

} // namespace

// Every piece size, flag word, locale and way of walking gives the bytes
// kelvane_at() writes, for a folder, a single file and an empty folder,
// confined or not.
TEST(Pulled, JoinedPiecesAreTheDocumentOfKelvaneAt) {
    temp_folder tree;
    fill_with_hostile_names(tree);
    make_folder(tree / "empty");
    const open_folder_handle root(tree.path);
    ASSERT_GE(root.descriptor, 0);
    const bool confined = openat2_missing().empty();
    const read_ahead_plan serial{LONG_MAX, 0}, ahead{0, 2, read_ahead_kind::computing};
    for (const char *locale : {"C", "C.UTF-8"}) {
        const scoped_locale in(locale);
        for (const std::string path : {".", "sub/inner", "empty", "to-sub/"})
            for (const unsigned flags : {0u, every_flag, every_flag | NO_DELETE})
                for (const unsigned where : {0u, unsigned{STAY_BENEATH}}) {
                    if (where && !confined)
                        continue;
                    const listing expected = list_at(root.descriptor, path, flags | where);
                    ASSERT_EQ(expected.result, 0) << path;
                    for (const read_ahead_plan &plan : {serial, ahead})
                        for (const unsigned nonblock : {0u, unsigned{KELVANE_NONBLOCK}})
                            for (const std::size_t piece : {1, 7, 4096, 65536}) {
                                const forced_plan forced(plan);
                                const pulled got = pull(root.descriptor, path,
                                                        flags | where | nonblock, piece);
                                const std::string what =
                                    path + " in " + locale + ", flags " +
                                    std::to_string(flags | where | nonblock) + ", pieces of " +
                                    std::to_string(piece) +
                                    (plan.helpers ? ", helpers" : ", serial");
                                EXPECT_EQ(got.opened, 0) << what;
                                EXPECT_EQ(got.closed, 0) << what;
                                EXPECT_EQ(got.last_read, 0) << what;
                                EXPECT_TRUE(got.document == expected.document) << what;
                                if (!nonblock) {
                                    EXPECT_EQ(got.short_pieces, 0) << what;
                                }
                            }
                }
    }
}

// A folder larger than the ring of entries in flight, read with helpers
// in pieces that end anywhere in a line.
TEST(Pulled, LongFolderWithHelpersIsWhole) {
    temp_folder tree;
    for (int i = 0; i < 1500; ++i)
        make_file(tree / ("entry-" + std::to_string(i) + (i % 7 ? "" : "&<\"")), 0644,
                  std::string(static_cast<std::size_t>(i % 13), 'x'));
    const listing expected = list_at(AT_FDCWD, tree.path, every_flag);
    for (const read_ahead_plan plan :
         {read_ahead_plan{LONG_MAX, 0}, read_ahead_plan{0, 3, read_ahead_kind::computing},
          read_ahead_plan{100, 8, read_ahead_kind::waiting}, read_ahead_plan{-1, -1}})
        for (const unsigned nonblock : {0u, unsigned{KELVANE_NONBLOCK}})
            for (const std::size_t piece : {7, 1000, 32768}) {
                const forced_plan forced(plan);
                const pulled got = pull(AT_FDCWD, tree.path, every_flag | nonblock, piece);
                EXPECT_EQ(got.closed, 0);
                EXPECT_TRUE(got.document == expected.document)
                    << "helpers " << plan.helpers << ", pieces of " << piece
                    << (nonblock ? ", non-blocking" : "");
            }
}

// Why a path can't be listed comes from kelvane_open(), before anything is
// read, and there is no listing to read or close.
TEST(Pulled, OpeningSaysWhyAPathCannotBeListed) {
    temp_folder tree;
    make_file(tree / "file");
    make_folder(tree / "folder");
    ASSERT_EQ(mkfifo((tree / "pipe").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/", (tree / "to-root").c_str()), 0);
    const open_folder_handle root(tree.path);
    const struct {
        int root;
        const char *path;
        unsigned flags;
        int error;
        bool needs_openat2;
    } rows[] = {
        {root.descriptor, nullptr, 0, -EINVAL, false},
        {root.descriptor, "../folder", 0, -EINVAL, false},
        {root.descriptor, "folder/..", 0, -EINVAL, false},
        {root.descriptor, "missing", 0, -ENOENT, false},
        {root.descriptor, "missing/deeper", 0, -ENOENT, false},
        {root.descriptor, "file/inside", 0, -ENOTDIR, false},
        {root.descriptor, "pipe", 0, -ENOTDIR, false},
        {root.descriptor, "pipe", KELVANE_NONBLOCK, -ENOTDIR, false},
        {-1, "folder", 0, -EBADF, false},
        {12345, "folder", 0, -EBADF, false},
        {root.descriptor, "/", STAY_BENEATH, -EPERM, true},
        {root.descriptor, "to-root", STAY_BENEATH, -EPERM, true},
        {root.descriptor, "to-root/etc", STAY_BENEATH, -EPERM, true},
    };
    for (const auto &row : rows) {
        if (row.needs_openat2 && !openat2_missing().empty())
            continue;
        const std::string what = row.path ? row.path : "(null)";
        if (!row.path) {
            kelvane_listing *listing = nullptr;
            EXPECT_EQ(kelvane_open(&listing, row.root, nullptr, row.flags), -EINVAL);
            EXPECT_EQ(listing, nullptr);
            continue;
        }
        const pulled got = pull(row.root, row.path, row.flags, 4096);
        EXPECT_EQ(got.opened, row.error) << what;
        EXPECT_TRUE(got.null_listing) << what;
    }
    EXPECT_EQ(kelvane_open(nullptr, AT_FDCWD, ".", 0), -EINVAL);
    char byte;
    EXPECT_EQ(kelvane_read(nullptr, &byte, 1), -EINVAL);
    EXPECT_EQ(kelvane_fd(nullptr), -1);
    EXPECT_EQ(kelvane_close(nullptr), 0);
}

TEST(Pulled, FolderThatCannotBeOpenedIsAccessDenied) {
    REQUIRE_ROOT();
    temp_folder tree;
    make_folder(tree / "locked", 0700);
    const std::string locked = tree / "locked";
    const std::string report = as_user(child_uid, child_gid, [&] {
        kelvane_listing *listing = nullptr;
        const int opened = kelvane_open(&listing, AT_FDCWD, locked.c_str(), 0);
        return std::to_string(opened) + (listing ? " listing" : " null");
    });
    EXPECT_EQ(report, std::to_string(-EACCES) + " null");
}

// Without KELVANE_NONBLOCK there is no descriptor to poll; with it, one
// for the listing's life, which the caller does not close.
TEST(Pulled, DescriptorOnlyForNonBlockingListings) {
    temp_folder tree;
    make_file(tree / "one");
    kelvane_listing *blocking = nullptr, *nonblocking = nullptr;
    ASSERT_EQ(kelvane_open(&blocking, AT_FDCWD, tree.path.c_str(), 0), 0);
    ASSERT_EQ(kelvane_open(&nonblocking, AT_FDCWD, tree.path.c_str(), KELVANE_NONBLOCK), 0);
    EXPECT_EQ(kelvane_fd(blocking), -1);
    const int descriptor = kelvane_fd(nonblocking);
    EXPECT_GE(descriptor, 0);
    EXPECT_NE(fcntl(descriptor, F_GETFD), -1);
    char buffer[16];
    EXPECT_EQ(kelvane_read(blocking, buffer, 0), -EINVAL);
    EXPECT_EQ(kelvane_close(blocking), 0);
    EXPECT_EQ(kelvane_close(nonblocking), 0);
}

// On a file system that fails, closing gives what kelvane_at() gives for
// the same document, read whole or not; reads after the end give 0.
TEST(Pulled, ClosingGivesTheResultOfKelvaneAt) {
    REQUIRE_FAULTY_FS();
    const struct {
        std::vector<std::string> names;
        std::vector<std::string> options;
        int error;
    } rows[] = {
        {{"a", "b", "eio-c", "d"}, {}, -EIO},
        {{"a", "b", "c", "d", "e", "f"}, {"--readdir-fail-after=3"}, -EIO},
        {{"a", "enoent-b", "c"}, {}, 0},
    };
    for (const auto &row : rows) {
        temp_folder tree;
        for (const std::string &name : row.names)
            make_file(tree / name);
        faulty_mount mirror(tree.path, row.options);
        ASSERT_FALSE(mirror.path.empty());
        const listing expected = list_at(AT_FDCWD, mirror.path, every_flag);
        EXPECT_EQ(expected.result, row.error);
        for (const unsigned nonblock : {0u, unsigned{KELVANE_NONBLOCK}})
            for (const std::size_t piece : {1, 4096}) {
                const pulled got = pull(AT_FDCWD, mirror.path, every_flag | nonblock, piece);
                EXPECT_EQ(got.closed, row.error) << row.names[2];
                EXPECT_TRUE(got.document == expected.document) << row.names[2];
            }
    }
}

// A listing given up after its first piece leaves no thread, no
// descriptor and (as valgrind and the sanitizers see) no memory, however
// far its helpers or its feeder had gone.
TEST(Pulled, AbandonedAfterOnePieceLeavesNothing) {
    temp_folder tree;
    for (int i = 0; i < 3000; ++i)
        make_file(tree / ("file-" + std::to_string(i)));
    const int descriptors = open_descriptors();
    for (const read_ahead_plan plan :
         {read_ahead_plan{LONG_MAX, 0}, read_ahead_plan{0, 2, read_ahead_kind::computing},
          read_ahead_plan{0, 16, read_ahead_kind::waiting}})
        for (const unsigned nonblock : {0u, unsigned{KELVANE_NONBLOCK}}) {
            const forced_plan forced(plan);
            kelvane_listing *listing = nullptr;
            ASSERT_EQ(kelvane_open(&listing, AT_FDCWD, tree.path.c_str(), every_flag | nonblock),
                      0);
            char piece[4096];
            ssize_t n;
            while ((n = kelvane_read(listing, piece, sizeof piece)) == -EAGAIN)
                usleep(100);
            EXPECT_GT(n, 0);
            EXPECT_EQ(kelvane_close(listing), 0);
        }
    EXPECT_EQ(listing_threads_once_gone(), 0);
    EXPECT_EQ(open_descriptors(), descriptors);
}

// Processor time this process used in `us` microseconds of sleep.
long busy_us_while_sleeping(long us) {
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    usleep(static_cast<useconds_t>(us));
    getrusage(RUSAGE_SELF, &after);
    const auto total = [](const struct rusage &u) {
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1'000'000L + u.ru_utime.tv_usec +
               u.ru_stime.tv_usec;
    };
    return total(after) - total(before);
}

// Helpers read ahead while the caller is away, up to the ring, and then
// sleep: a listing left open on a warm cache soon takes no processor time.
TEST(Pulled, HelpersDoNotSpinWhileTheCallerIsAway) {
    temp_folder tree;
    for (int i = 0; i < 3000; ++i)
        make_file(tree / ("file-" + std::to_string(i)));
    const forced_plan forced(0, 2, read_ahead_kind::computing);
    for (const unsigned nonblock : {0u, unsigned{KELVANE_NONBLOCK}}) {
        kelvane_listing *listing = nullptr;
        ASSERT_EQ(kelvane_open(&listing, AT_FDCWD, tree.path.c_str(), every_flag | nonblock), 0);
        char piece[4096];
        while (kelvane_read(listing, piece, sizeof piece) == -EAGAIN)
            usleep(100);
        // Spinning helpers would keep a processor busy in every slice.
        long quietest = LONG_MAX;
        for (int slice = 0; slice < 30 && quietest >= 10'000; ++slice)
            quietest = std::min(quietest, busy_us_while_sleeping(100'000));
        EXPECT_LT(quietest, 10'000) << (nonblock ? "non-blocking" : "blocking");
        EXPECT_EQ(kelvane_close(listing), 0);
    }
}

// On a slow file system helpers read statuses ahead across the reads of
// a listing; a non-blocking read returns what is ready, so the caller sees
// -EAGAIN and polls. The document is whole either way.
TEST(Pulled, OnASlowMountStatusesAreReadAheadAcrossReads) {
    REQUIRE_FAULTY_FS();
    temp_folder tree;
    for (int i = 0; i < 200; ++i)
        make_file(tree / ("file-" + std::to_string(i)));
    faulty_mount quick(tree.path);
    faulty_mount slow(tree.path, {"--status-latency-us=2000", "--threads=128"});
    ASSERT_FALSE(quick.path.empty() || slow.path.empty());
    const listing expected = list_at(AT_FDCWD, quick.path, every_flag);
    for (const unsigned nonblock : {0u, unsigned{KELVANE_NONBLOCK}}) {
        const pulled got = pull(AT_FDCWD, slow.path, every_flag | nonblock, 1024, true);
        EXPECT_EQ(got.opened, 0);
        EXPECT_EQ(got.closed, 0);
        EXPECT_TRUE(got.document == expected.document);
        EXPECT_GT(got.most_threads, 2) << (nonblock ? "non-blocking" : "blocking");
        if (nonblock) {
            EXPECT_GT(got.would_wait, 0);
        }
    }
}

// Listings read from several threads at once, each its own, blocking and
// not, with helpers and without: each is whole.
TEST(Threads, PulledListingsFromSeveralThreadsEachGiveTheWholeDocument) {
    temp_folder tree;
    for (int i = 0; i < 700; ++i)
        make_file(tree / ("file-" + std::to_string(i)));
    const listing expected = list_at(AT_FDCWD, tree.path, every_flag);
    std::atomic<int> whole{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            const unsigned flags = every_flag | (t % 2 ? KELVANE_NONBLOCK : 0);
            for (int round = 0; round < 3; ++round) {
                const pulled got = pull(AT_FDCWD, tree.path, flags, t % 3 ? 4096 : 333);
                whole += got.closed == 0 && got.document == expected.document;
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(whole, 18);
}
