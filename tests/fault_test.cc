// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Faults the listing must survive and report: memory running out, the
// folder failing to read, and the folder changing places while it is read.
// The test binary puts its own malloc, calloc, realloc, aligned_alloc, free and readdir64
// in front of the C library's, counting calls and failing them on request.
// That is also why this binary stays out of the sanitizer and valgrind runs
// (see CMakeLists.txt).
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fixture.h"
#include "kelvane.h"
#include "listing.h"
#include "read_ahead.h"

extern "C" void *__libc_malloc(std::size_t size);
extern "C" void *__libc_calloc(std::size_t count, std::size_t size);
extern "C" void *__libc_realloc(void *pointer, std::size_t size);
extern "C" void __libc_free(void *pointer);
extern "C" void *__libc_memalign(std::size_t alignment, std::size_t size);

namespace {

// A fault plan for one kind of call: while armed, the calls are counted and
// the `fail_from`-th and every later one fails, or only the `fail_from`-th
// when `once` is set.
struct fault_plan {
    bool armed = false;
    int fail_from = 0;
    int calls = 0;
    bool once = false;
    bool fails_now() {
        if (!armed)
            return false;
        ++calls;
        return once ? calls == fail_from : calls >= fail_from;
    }
};
// Per function, and one plan for every allocation whatever the function.
fault_plan malloc_faults, readdir_faults, allocation_faults;

// Blocks handed out while allocation_faults is armed and not yet given back.
long live_blocks = 0;
void count_block(const void *block, long change) {
    if (allocation_faults.armed && block)
        live_blocks += change;
}

using readdir_function = struct dirent64 *(*)(DIR *);
readdir_function real_readdir64 =
    reinterpret_cast<readdir_function>(dlsym(RTLD_NEXT, "readdir64"));

// When set, runs once, at the start of the next readdir.
std::function<void()> at_next_readdir;

// Arms a plan for the scope of one kelvane() call.
struct armed {
    fault_plan &plan;
    armed(fault_plan &p, int fail_from, bool once = false) : plan(p) {
        plan = {true, fail_from, 0, once};
    }
    ~armed() { plan.armed = false; }
};

// Lists into an unbuffered temporary file, so that the stream itself takes
// no memory while faults are armed.
std::FILE *unbuffered_stream() {
    std::FILE *out = std::tmpfile();
    std::setvbuf(out, nullptr, _IONBF, 0);
    return out;
}

std::string contents(std::FILE *out) {
    std::string text;
    std::rewind(out);
    for (int c; (c = std::fgetc(out)) != EOF;)
        text.push_back(static_cast<char>(c));
    std::fclose(out);
    return text;
}

struct faulty_listing {
    int result;
    std::string document;
};

faulty_listing list_with(fault_plan &plan, int fail_from, const char *path,
                         unsigned flags) {
    std::FILE *out = unbuffered_stream();
    int result;
    {
        armed fault(plan, fail_from);
        result = kelvane(out, path, flags);
    }
    return {result, contents(out)};
}

// A folder of `count` files, so that the walk has entries to lose.
void fill(const temp_folder &tree, int count) {
    for (int i = 0; i < count; ++i)
        make_file(tree / ("file" + std::to_string(i)));
}

} // namespace

extern "C" void *malloc(std::size_t size) {
    if (malloc_faults.fails_now() || allocation_faults.fails_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    void *block = __libc_malloc(size);
    count_block(block, +1);
    return block;
}

extern "C" void *calloc(std::size_t count, std::size_t size) {
    if (allocation_faults.fails_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    void *block = __libc_calloc(count, size);
    count_block(block, +1);
    return block;
}

extern "C" void *realloc(void *pointer, std::size_t size) {
    if (allocation_faults.fails_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    void *block = __libc_realloc(pointer, size);
    if (!pointer)
        count_block(block, +1);
    else if (size == 0)
        count_block(pointer, -1); // freed, and null returned
    return block;
}

// Memory for over-aligned objects (operator new with an alignment) comes
// from here.
extern "C" void *aligned_alloc(std::size_t alignment, std::size_t size) {
    if (allocation_faults.fails_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    void *block = __libc_memalign(alignment, size);
    count_block(block, +1);
    return block;
}

extern "C" void free(void *pointer) {
    count_block(pointer, -1);
    __libc_free(pointer);
}

extern "C" struct dirent64 *readdir64(DIR *folder) {
    if (at_next_readdir) {
        const std::function<void()> hook = std::move(at_next_readdir);
        at_next_readdir = nullptr;
        hook();
    }
    if (readdir_faults.fails_now()) {
        errno = EIO;
        return nullptr;
    }
    return real_readdir64(folder);
}

TEST(OutOfMemory, ParentCopyCostsOnlyTheParentElementAndDeleteLetters) {
    temp_folder tree;
    chmod(tree.path.c_str(), 0777);
    make_file(tree / "f", 0644);
    const std::string file = tree / "f";
    const faulty_listing healthy =
        list_with(malloc_faults, 1000, file.c_str(), SHOW_PARENT | SHOW_PERMS);
    ASSERT_EQ(healthy.result, 0);
    EXPECT_NE(healthy.document.find("<parent-folder />"), std::string::npos);
    EXPECT_EQ(attribute(entry_lines(healthy.document).at(0), "other-perm"), "RD");

    const faulty_listing starved =
        list_with(malloc_faults, 1, file.c_str(), SHOW_PARENT | SHOW_PERMS);
    EXPECT_EQ(starved.result, 0);
    EXPECT_EQ(starved.document.find("<parent-folder />"), std::string::npos);
    ASSERT_EQ(entry_lines(starved.document).size(), 1u);
    EXPECT_EQ(attribute(entry_lines(starved.document)[0], "other-perm"), "R");

    // Without a slash the copy is replaced by a fresh "."; that may fail too.
    working_folder inside(tree.path);
    const faulty_listing no_dot =
        list_with(malloc_faults, 2, "f", SHOW_PARENT | SHOW_PERMS);
    EXPECT_EQ(no_dot.result, 0);
    EXPECT_EQ(no_dot.document.find("<parent-folder />"), std::string::npos);
    EXPECT_EQ(attribute(entry_lines(no_dot.document).at(0), "user-perm"), "RW");
}

TEST(ReadError, WalkReportsItAndClosesTheDocument) {
    temp_folder tree;
    fill(tree, 5);
    const faulty_listing broken = list_with(readdir_faults, 1, tree.path.c_str(), 0);
    EXPECT_EQ(broken.result, -EIO);
    EXPECT_TRUE(entry_lines(broken.document).empty());
    EXPECT_TRUE(well_formed(broken.document));

    // Entries read before the error stay listed: ".", ".." and at most two files.
    const faulty_listing later = list_with(readdir_faults, 5, tree.path.c_str(), 0);
    EXPECT_EQ(later.result, -EIO);
    EXPECT_LE(entry_lines(later.document).size(), 4u);
    EXPECT_GE(entry_lines(later.document).size(), 2u);
    EXPECT_TRUE(well_formed(later.document));
}

// The folder is renamed away once its reading has begun, and another one
// takes its name: the listing describes the folder that was opened, names
// and sizes alike.
TEST(ChangingFolder, SwappedWhileReadTheOpenedFolderIsListed) {
    temp_folder tree;
    make_folder(tree / "listed");
    make_folder(tree / "other");
    for (int i = 0; i < 20; ++i) {
        const std::string name = "f" + std::to_string(i);
        make_file(tree / ("listed/" + name), 0644, std::string(i, 'a'));
        make_file(tree / ("other/" + name), 0644, std::string(100 + i, 'b'));
    }
    at_next_readdir = [&] {
        ASSERT_EQ(rename((tree / "listed").c_str(), (tree / "opened").c_str()), 0);
        ASSERT_EQ(rename((tree / "other").c_str(), (tree / "listed").c_str()), 0);
    };
    const listing result = list((tree / "listed").c_str());
    EXPECT_EQ(at_next_readdir, nullptr) << "the folder was never read";
    EXPECT_EQ(result.result, 0);
    const std::vector<std::string> entries = entry_lines(result.document);
    EXPECT_EQ(entries.size(), 20u);
    for (const std::string &line : entries)
        EXPECT_EQ(attribute(line, "size"), attribute(line, "name").substr(1)) << line;
}

// --- Every allocation of one call, failing in turn --------------------------

namespace {

// One call under an allocation plan: what it returned and wrote, how many
// allocations it asked for, and the blocks and descriptors it kept.
struct swept_call {
    int result;
    std::string document;
    int allocations;
    long kept_blocks;
    int kept_descriptors;
};

swept_call call_failing(const char *path, unsigned flags, int fail_at, bool once) {
    std::FILE *out = unbuffered_stream();
    const int descriptors = open_descriptors();
    live_blocks = 0;
    int result;
    {
        armed fault(allocation_faults, fail_at, once);
        result = kelvane(out, path, flags);
    }
    const int kept_descriptors = open_descriptors() - descriptors;
    return {result, contents(out), allocation_faults.calls, live_blocks,
            kept_descriptors};
}

// The listings a faulty call is measured against.
struct reference {
    swept_call whole;     // no fault
    swept_call no_delete; // no fault, and no D letters
    bool single_file;
};

// What a call that met the `n`-th allocation failure gave, in words. The
// only results allowed: the whole listing; without the parent-folder element
// (and, for a single file, without its D letters) when the parent copy
// failed; the entries read so far and -ENOMEM when the walk failed. The
// document is closed and nothing is kept either way.
std::string outcome(const swept_call &call, int n, const reference &ref) {
    const std::string frame = ref.whole.document.substr(
        0, ref.whole.document.find("<folder-listing") + sizeof "<folder-listing");
    if (call.allocations < n)
        return "unexpected: the allocation was never asked for";
    if (call.kept_blocks != 0 || call.kept_descriptors != 0)
        return "unexpected: kept " + std::to_string(call.kept_blocks) + " blocks, " +
               std::to_string(call.kept_descriptors) + " descriptors";
    if (!call.document.starts_with(frame) ||
        !call.document.ends_with("</folder-listing>\n") || !well_formed(call.document))
        return "unexpected: broken document\n" + call.document;

    const bool parent = call.document.find("  <parent-folder />\n") != std::string::npos;
    const std::vector<std::string> entries = entry_lines(call.document);
    const std::vector<std::string> expected =
        entry_lines((parent || !ref.single_file ? ref.whole : ref.no_delete).document);
    const std::string lost = parent ? "" : "parent lost, ";
    if (call.result == 0 && entries == expected)
        return lost + "whole listing";
    if (call.result == -ENOMEM && !ref.single_file && entries.size() < expected.size() &&
        std::equal(entries.begin(), entries.end(), expected.begin()))
        return lost + "-ENOMEM after " + std::to_string(entries.size()) + " of " +
               std::to_string(expected.size()) + " entries";
    return "unexpected: result " + std::to_string(call.result) + "\n" + call.document;
}

} // namespace

TEST(OutOfMemory, EachAllocationOfOneCallFailingInTurnIsSurvived) {
    temp_folder tree;
    make_folder(tree / "dir", 0777);
    for (const char *name : {"dir/f0", "dir/f1", "dir/f2", "dir/sub/f", "top"}) {
        if (std::string(name) == "dir/sub/f")
            make_folder(tree / "dir/sub", 0777);
        make_file(tree / name);
    }
    working_folder inside(tree.path);
    const unsigned flags = SHOW_PARENT | SHOW_PERMS;
    const struct {
        const char *path;
        bool single_file;
    } cases[] = {
        {"dir", false}, {"top", true}, {"dir//./sub/", false}, {"./dir/sub/f", true}};

    // Each path walked serially, and with a helper reading ahead from the
    // first entry on (its ring and its thread are allocations too).
    for (const auto &[path, single_file] : cases)
        for (const read_ahead_plan plan :
             {read_ahead_plan{LONG_MAX, 0}, read_ahead_plan{0, 1}}) {
            forced_read_ahead = plan;
            call_failing(path, flags, INT_MAX, false); // first-call set-up, if any
            const reference ref{call_failing(path, flags, INT_MAX, false),
                                call_failing(path, flags | NO_DELETE, INT_MAX, false),
                                single_file};
            ASSERT_EQ(ref.whole.result, 0) << path;
            ASSERT_GT(ref.whole.allocations, 0) << path;
            bool parent_lost = false, walk_failed = false;
            for (bool once : {true, false}) {
                std::string summary;
                for (int n = 1; n <= ref.whole.allocations; ++n) {
                    const std::string what =
                        outcome(call_failing(path, flags, n, once), n, ref);
                    EXPECT_FALSE(what.starts_with("unexpected"))
                        << path << ", allocation " << n << (once ? " alone" : " onwards")
                        << ": " << what;
                    parent_lost |= what.starts_with("parent lost");
                    walk_failed |= what.find("-ENOMEM") != std::string::npos;
                    summary += "\n  " + std::to_string(n) + ": " + what;
                }
                std::printf("%s, each of %d allocations failing %s:%s\n", path,
                            ref.whole.allocations, once ? "alone" : "onwards",
                            summary.c_str());
            }
            // The sweep reached both places where the listing allocates.
            EXPECT_TRUE(parent_lost) << path;
            EXPECT_EQ(walk_failed, !single_file) << path;
            forced_read_ahead = {-1, -1};
        }
}

// Memory for the folder handle (and, reading ahead, the ring of entries in
// flight and the helpers) is all the walk takes, however many entries the
// folder holds and however long their names.
TEST(OutOfMemory, WalkTakesTheSameMemoryForAnyFolder) {
    temp_folder few, many;
    fill(few, 2);
    for (int i = 0; i < 300; ++i)
        make_file(many / (std::to_string(i) + std::string(250 - i / 2, 'x')));
    // Serially, and with helpers reading ahead from the first entry on.
    for (const read_ahead_plan plan :
         {read_ahead_plan{LONG_MAX, 0}, read_ahead_plan{0, 3}}) {
        forced_read_ahead = plan;
        call_failing(few.path.c_str(), 0, INT_MAX, false); // first-call set-up, if any
        const swept_call small =
            call_failing(few.path.c_str(), SHOW_TIMES, INT_MAX, false);
        const swept_call large =
            call_failing(many.path.c_str(), SHOW_TIMES, INT_MAX, false);
        ASSERT_EQ(entry_lines(large.document).size(), 300u);
        EXPECT_EQ(small.allocations, large.allocations) << plan.helpers << " helpers";
        EXPECT_EQ(large.kept_blocks, 0) << plan.helpers << " helpers";
    }
    forced_read_ahead = {-1, -1};
}

// A listing pulled piece by piece meets each of its allocations failing in
// turn: opening says -ENOMEM and gives no listing, or the reads give the
// whole document, or a read and the close say -ENOMEM. Nothing is kept.
// While faults are armed the test itself allocates nothing.
struct pulled_failing {
    std::string outcome;
    int allocations;
};

pulled_failing pull_failing(const char *path, int fail_at) {
    static char document[1 << 16];
    std::size_t length = 0;
    int opened, closed = 0;
    ssize_t last = 0;
    bool null_listing;
    const int descriptors = open_descriptors();
    live_blocks = 0;
    {
        armed fault(allocation_faults, fail_at);
        kelvane_listing *listing = nullptr;
        opened = kelvane_open(&listing, AT_FDCWD, path, 0);
        null_listing = listing == nullptr;
        if (opened == 0) {
            while (length + 100 <= sizeof document &&
                   (last = kelvane_read(listing, document + length, 100)) > 0)
                length += static_cast<std::size_t>(last);
            closed = kelvane_close(listing);
        }
    }
    std::string outcome =
        opened != 0 ? "open " + std::to_string(opened) + (null_listing ? "" : ", listing")
                    : "read " + std::to_string(last) + ", close " + std::to_string(closed) +
                          (last == 0 ? ", " + std::string(document, length) : "");
    if (live_blocks != 0)
        outcome += ", blocks kept";
    if (open_descriptors() != descriptors)
        outcome += ", descriptors kept";
    return {outcome, allocation_faults.calls};
}

TEST(OutOfMemory, PulledListingSaysSoAndKeepsNothing) {
    temp_folder tree;
    for (int i = 0; i < 40; ++i)
        make_file(tree / ("entry-" + std::to_string(i) + std::string(60, 'n')));
    const char *path = tree.path.c_str();
    const std::string whole = "read 0, close 0, " + list(path, 0).document;
    for (const read_ahead_plan plan : {read_ahead_plan{LONG_MAX, 0}, read_ahead_plan{0, 1}}) {
        forced_read_ahead = plan;
        pull_failing(path, INT_MAX); // first-call set-up, if any
        const pulled_failing healthy = pull_failing(path, INT_MAX);
        ASSERT_EQ(healthy.outcome, whole);
        bool open_failed = false;
        for (int n = 1; n <= healthy.allocations; ++n) {
            const pulled_failing failing = pull_failing(path, n);
            const std::string_view outcome = failing.outcome;
            open_failed |= outcome == "open -12";
            EXPECT_TRUE(outcome == "open -12" || outcome == whole ||
                        outcome == "read -12, close -12")
                << "allocation " << n << ": " << outcome;
        }
        EXPECT_TRUE(open_failed);
    }
    forced_read_ahead = {-1, -1};
}
