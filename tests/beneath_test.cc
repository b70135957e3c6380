// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Listings confined beneath a root folder, as a server lists what a remote
// device asks for under the folder it serves: with STAY_BENEATH nothing
// outside the root is reached, by the path or by any entry, whatever links
// lie in the folder or are swapped in meanwhile; without it, kelvane_at()
// resolves relative to the root and lists what kelvane() lists.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fixture.h"
#include "kelvane.h"
#include "listing.h"
#include "read_ahead.h"

namespace {

constexpr unsigned every_attribute =
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

// The names of a document's entries, sorted, space-separated.
std::string names_in(const std::string &document) {
    std::vector<std::string> names;
    for (const std::string &line : entry_lines(document))
        names.push_back(attribute(line, "name"));
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const std::string &name : names)
        joined += (joined.empty() ? "" : " ") + name;
    return joined;
}

void link_to(const std::string &target, const std::string &link) {
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
}

// A served folder, and beside it a folder that must stay out of sight:
//
//   outside/secret, outside/dir/
//   served/file, served/sub/ (with sub/up -> ../file, sub/away -> ../../outside),
//   and links in served/ that stay inside, step out and back, or lead out.
struct served_tree {
    temp_folder top;
    std::string served = top / "served";
    int root = -1; // of `served`, closed with the tree

    served_tree() {
        make_folder(top / "outside");
        make_file(top / "outside/secret", 0644, "not for you");
        make_folder(top / "outside/dir");
        make_folder(served, 0777);
        make_file(served + "/file", 0644, "served");
        make_folder(served + "/sub");
        link_to("../file", served + "/sub/up");
        link_to("../../outside", served + "/sub/away");
        link_to("file", served + "/in_file");
        link_to("sub", served + "/in_folder");
        link_to("sub/../file", served + "/in_by_dotdot");
        link_to("../served/file", served + "/back_in");
        link_to(top / "outside/secret", served + "/out_absolute_file");
        link_to(top / "outside", served + "/out_absolute_folder");
        link_to("../outside/secret", served + "/out_climbing_file");
        link_to("../outside", served + "/out_climbing_folder");
        link_to("../outside/none", served + "/out_dangling");
        link_to("none", served + "/dangling");
        root = open(served.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    ~served_tree() { close(root); }
};

} // namespace

// Which entries appear, with the flag and without: links that stay inside
// are listed with their targets' attributes, those that step out are left
// out (even to come back in), and the result is 0 either way.
TEST(Beneath, EntriesThatLeadOutAreLeftOut) {
    REQUIRE_OPENAT2();
    const served_tree tree;
    ASSERT_GE(tree.root, 0);
    const struct {
        const char *path;
        unsigned flags;
        std::string names;
    } rows[] = {
        {".", 0,
         "back_in file in_by_dotdot in_file in_folder out_absolute_file "
         "out_absolute_folder out_climbing_file out_climbing_folder sub"},
        {".", STAY_BENEATH, "file in_by_dotdot in_file in_folder sub"},
        {"sub", 0, "away up"},
        {"sub", STAY_BENEATH, "up"},
        {"in_folder", STAY_BENEATH, "up"},
        {"sub/", STAY_BENEATH, "up"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.path) + (row.flags ? " beneath" : ""));
        const listing listed = list_at(tree.root, row.path, row.flags | every_attribute);
        EXPECT_EQ(listed.result, 0);
        EXPECT_EQ(names_in(listed.document), row.names);
        EXPECT_TRUE(well_formed(listed.document));
    }
    // A link that stays inside shows its target, as it would unconfined.
    const listing confined = list_at(tree.root, ".", STAY_BENEATH | every_attribute);
    const listing plain = list_at(tree.root, ".", every_attribute);
    for (const char *name : {"in_file", "in_by_dotdot", "in_folder", "file", "sub"})
        EXPECT_EQ(line_for(confined.document, name), line_for(plain.document, name))
            << name;
}

// Where no link leads out, the confined document is kelvane()'s byte for
// byte; and kelvane_at() from the current folder is kelvane() itself.
TEST(Beneath, WhereNothingLeadsOutTheDocumentIsKelvanes) {
    REQUIRE_OPENAT2();
    const served_tree tree;
    working_folder in_served(tree.served);
    for (const unsigned flags : {0u, every_attribute, unsigned{SHOW_PERMS | NO_DELETE}}) {
        for (const char *path : {"file", "in_file", "in_by_dotdot", "sub/up"}) {
            SCOPED_TRACE(path);
            const listing plain = list(path, flags);
            EXPECT_EQ(plain.result, 0);
            EXPECT_EQ(entry_lines(plain.document).size(), 1u);
            EXPECT_TRUE(list_at(tree.root, path, flags | STAY_BENEATH).document ==
                        plain.document);
        }
        const std::string sub_plain = list("in_folder", flags).document;
        std::string without_away;
        for (const std::string &line : lines_of(sub_plain))
            if (attribute(line, "name") != "away")
                without_away += line + "\n";
        EXPECT_EQ(list_at(tree.root, "in_folder", flags | STAY_BENEATH).document,
                  without_away);
        for (const char *path : {".", "sub", "missing", "", "/", "file/"}) {
            const listing plain = list(path, flags);
            const listing at = list_at(AT_FDCWD, path, flags);
            EXPECT_EQ(at.result, plain.result) << path;
            EXPECT_TRUE(at.document == plain.document) << path;
        }
    }
}

// A single file directly in the root takes its D letters from the root.
TEST(Beneath, SingleFileInTheRootTakesItsDeleteLettersFromTheRoot) {
    REQUIRE_OPENAT2();
    const served_tree tree;
    const listing listed = list_at(tree.root, "file", STAY_BENEATH | SHOW_PERMS);
    ASSERT_EQ(listed.result, 0);
    EXPECT_EQ(perm_letters(line_for(listed.document, "file")), "RWD|RD|RD");
}

// Paths that lead outside are refused before anything is written; the
// guard against ".." still comes first. A path that leads nowhere inside
// is no refusal: the document says there is nothing.
TEST(Beneath, PathsThatLeadOutAreRefused) {
    REQUIRE_OPENAT2();
    const served_tree tree;
    const std::string entry_less = "<?xml version=\"1.0\" encoding=\"ANSI_X3.4-1968\"?>\n"
                                   "<!DOCTYPE folder-listing SYSTEM "
                                   "\"obex-folder-listing.dtd\">\n"
                                   "<folder-listing version=\"1.0\">\n"
                                   "  <parent-folder />\n"
                                   "</folder-listing>\n";
    const struct {
        std::string path;
        int result;
    } rows[] = {
        {tree.served, -EPERM},
        {"/", -EPERM},
        {"/..", -EPERM},
        {"out_absolute_folder", -EPERM},
        {"out_climbing_folder", -EPERM},
        {"out_climbing_file", -EPERM},
        {"out_climbing_folder/dir", -EPERM},
        {"out_dangling", -EPERM},
        {"sub/away", -EPERM},
        {"sub/away/secret", -EPERM},
        {"in_folder/away", -EPERM},
        {"back_in", -EPERM},
        {"../served", -EINVAL},
        {"sub/../..", -EINVAL},
        {"dangling", -ENOTDIR},
        {"missing", -ENOTDIR},
        {"sub/missing", -ENOTDIR},
    };
    for (const auto &row : rows) {
        const listing refused = list_at(tree.root, row.path, STAY_BENEATH | SHOW_PARENT);
        EXPECT_EQ(refused.result, row.result) << row.path;
        EXPECT_EQ(refused.document, row.result == -ENOTDIR ? entry_less : "") << row.path;
    }
    EXPECT_EQ(list_at(-1, "file", STAY_BENEATH).result, -EBADF);
    EXPECT_EQ(list_at(-1, "file", 0).result, -EBADF);
}

// While another thread keeps swapping a subfolder with a link to a folder
// outside, confined listings of the subfolder show its own names or are
// refused, and never show a name from outside.
TEST(Beneath, SwappedLinksNeverShowWhatIsOutside) {
    REQUIRE_OPENAT2();
    temp_folder top;
    make_folder(top / "outside");
    for (int i = 0; i < 5; ++i)
        make_file(top / ("outside/outside-" + std::to_string(i)));
    make_folder(top / "served");
    make_folder(top / "served/sub");
    for (int i = 0; i < 5; ++i)
        make_file(top / ("served/sub/inside-" + std::to_string(i)));
    link_to("../outside", top / "served/swap");
    const open_folder_handle served(top / "served");
    const int root = served.descriptor;
    ASSERT_GE(root, 0);

    std::atomic<bool> done{false};
    std::atomic<long> swaps{0};
    std::thread swapper([&] {
        while (!done) {
            if (syscall(SYS_renameat2, root, "sub", root, "swap", RENAME_EXCHANGE) == 0)
                ++swaps;
            // A few microseconds between swaps: a listing runs whole now
            // and then, too.
            const auto until =
                std::chrono::steady_clock::now() + std::chrono::microseconds(4);
            while (std::chrono::steady_clock::now() < until) {
            }
        }
    });
    constexpr int listings = 3000;
    int listed = 0, refused = 0, not_listed = 0, leaked = 0, other = 0;
    for (int i = 0; i < listings; ++i) {
        const listing l = list_at(root, "sub", STAY_BENEATH);
        leaked += l.document.find("outside-") != std::string::npos;
        if (l.result == 0 &&
            names_in(l.document) == "inside-0 inside-1 inside-2 inside-3 inside-4")
            ++listed;
        else if (l.result == -EPERM)
            ++refused;
        else if (l.result == -ENOTDIR)
            ++not_listed;
        else
            ++other;
    }
    done = true;
    swapper.join();
    std::printf("%d confined listings during %ld swaps: %d listed whole, %d refused, "
                "%d not found, %d other, %d showing a name from outside\n",
                listings, swaps.load(), listed, refused, not_listed, other, leaked);
    EXPECT_EQ(leaked, 0);
    EXPECT_EQ(other, 0);
    EXPECT_GT(swaps.load(), 0);
    EXPECT_GT(listed, 0);
}

// Where openat2 is missing or forbidden, a confined listing fails with that
// error and lists nothing; an unconfined one goes on as ever.
TEST(Beneath, WithoutOpenat2NothingIsListedUnconfined) {
    REQUIRE_OPENAT2();
    const served_tree tree;
    for (const int error : {ENOSYS, EPERM}) {
        const std::string report = in_child([&] {
            // openat2 came after the system calls were numbered alike on
            // every architecture: its number alone picks it out.
            struct sock_filter filter[] = {
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
                BPF_STMT(BPF_RET | BPF_K,
                         SECCOMP_RET_ERRNO |
                             (static_cast<unsigned>(error) & SECCOMP_RET_DATA)),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            };
            struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
            if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
                return std::string(errno == EINVAL ? "refused" : "no seccomp filter: ") +
                       std::strerror(errno);
            const listing confined = list_at(tree.root, ".", STAY_BENEATH);
            const listing plain = list_at(tree.root, "sub", 0);
            return std::to_string(confined.result) + " [" + confined.document + "] " +
                   std::to_string(plain.result) + " " + names_in(plain.document);
        });
        // qemu-user refuses filters: they would judge its own calls.
        if (report.starts_with("refused"))
            GTEST_SKIP() << "this system refuses seccomp filters (an emulator does)";
        EXPECT_EQ(report, std::to_string(-error) + " [] 0 away up");
    }
}

// The helpers that read statuses ahead read them confined, as the serial
// walk does.
TEST(Beneath, ReadAheadReadsConfinedStatusesAsTheSerialWalk) {
    REQUIRE_OPENAT2();
    temp_folder top;
    make_folder(top / "outside");
    make_file(top / "outside/secret");
    make_folder(top / "served");
    for (int i = 0; i < 1200; ++i) {
        const std::string name = top / ("served/entry-" + std::to_string(i));
        switch (i % 4) {
        case 0:
            make_file(name, 0640, std::string(static_cast<std::size_t>(i % 50), 'x'));
            break;
        case 1: link_to("entry-" + std::to_string(i - 1), name); break;
        case 2: link_to("../outside/secret", name); break;
        default: link_to("../served/entry-0", name); break;
        }
    }
    const open_folder_handle served(top / "served");
    const int root = served.descriptor;
    ASSERT_GE(root, 0);
    const struct plan_restorer {
        read_ahead_plan natural = forced_read_ahead;
        ~plan_restorer() { forced_read_ahead = natural; }
    } restorer;
    forced_read_ahead = {LONG_MAX, 0};
    const listing serial = list_at(root, ".", STAY_BENEATH | every_attribute);
    ASSERT_EQ(serial.result, 0);
    EXPECT_EQ(entry_lines(serial.document).size(), 600u);
    for (const read_ahead_plan plan :
         {read_ahead_plan{0, 1, read_ahead_kind::computing},
          read_ahead_plan{0, 8, read_ahead_kind::waiting},
          read_ahead_plan{100, 3, read_ahead_kind::waiting}}) {
        forced_read_ahead = plan;
        const listing ahead = list_at(root, ".", STAY_BENEATH | every_attribute);
        EXPECT_EQ(ahead.result, 0);
        EXPECT_TRUE(ahead.document == serial.document) << plan.helpers << " helpers";
    }
}
