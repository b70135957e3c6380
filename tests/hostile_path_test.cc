// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Paths nobody types but anybody can pass: longer than PATH_MAX, through
// trees deeper than PATH_MAX, made of endless "./" or slashes, or going
// round in symbolic-link loops. The program always ends with status 0 or 1,
// with at most one complete document on standard output, and says why on
// standard error when it fails.
#include <climits>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fixture.h"

namespace {

std::string repeated(const std::string &piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i)
        text += piece;
    return text;
}

// A chain of folders with names of 250 bytes, deeper in all than PATH_MAX,
// with a file at the bottom. Built and removed through descriptors, since
// no path reaches the bottom.
struct deep_tree {
    static constexpr int depth = 20;
    const std::string level = std::string(250, 'd');
    const std::string root;

    explicit deep_tree(const std::string &at) : root(at) {
        int folder = open(root.c_str(), O_RDONLY | O_DIRECTORY);
        for (int i = 0; i < depth; ++i) {
            mkdirat(folder, level.c_str(), 0755);
            const int below = openat(folder, level.c_str(), O_RDONLY | O_DIRECTORY);
            close(folder);
            folder = below;
        }
        close(openat(folder, "bottom", O_WRONLY | O_CREAT, 0644));
        close(folder);
    }
    ~deep_tree() { remove_below(open(root.c_str(), O_RDONLY | O_DIRECTORY), depth); }
    void remove_below(int folder, int levels) {
        if (levels == 0) {
            unlinkat(folder, "bottom", 0);
        } else {
            remove_below(openat(folder, level.c_str(), O_RDONLY | O_DIRECTORY),
                         levels - 1);
            unlinkat(folder, level.c_str(), AT_REMOVEDIR);
        }
        close(folder);
    }
    // The path down `levels` levels, relative to where it starts.
    std::string down(int levels) const {
        std::string path = level;
        for (int i = 1; i < levels; ++i)
            path += "/" + level;
        return path;
    }
};

void expect_clean_end(const run_result &result) {
    EXPECT_TRUE(result.status == 0 || result.status == 1) << "status " << result.status;
    EXPECT_TRUE(result.out.empty() ||
                (one_complete_document(result.out) && well_formed(result.out)))
        << result.out;
    if (result.status == 1) {
        EXPECT_GE(lines_of(result.err).size(), 2u) << "no reason given: " << result.err;
    }
}

} // namespace

TEST(HostilePath, EveryRunEndsCleanly) {
    temp_folder tree;
    make_folder(tree / "sub");
    make_file(tree / "sub/file");
    symlink("loop", (tree / "loop").c_str());
    symlink("pong", (tree / "ping").c_str());
    symlink("ping", (tree / "pong").c_str());
    make_folder(tree / "holds_loop");
    make_file(tree / "holds_loop/file");
    symlink("loop", (tree / "holds_loop/loop").c_str());
    const deep_tree deep(tree.path);
    static_assert(PATH_MAX == 4096);

    const struct {
        const char *what;
        std::string cwd, path;
        int status;
    } runs[] = {
        {"10,000-byte name", tree.path, std::string(10000, 'x'), 1},
        {"10,000-byte path", tree.path, repeated("a/", 5000), 1},
        {"10,000 slashes", tree.path, std::string(10000, '/'), 1},
        {"\"./\" within PATH_MAX", tree.path, repeated("./", 2000) + "sub", 0},
        {"\"./\" beyond PATH_MAX", tree.path, repeated("./", 3000) + "sub", 1},
        {"trailing slashes within PATH_MAX", tree.path, "sub" + std::string(4000, '/'),
         0},
        {"trailing slashes beyond PATH_MAX", tree.path, "sub" + std::string(5000, '/'),
         1},
        {"file and trailing slashes", tree.path, "sub/file" + std::string(100, '/'), 1},
        {"climbing out at the end of a long path", tree.path, repeated("a/", 3000) + "..",
         1},
        {"link to itself", tree.path, "loop", 1},
        {"two links to each other", tree.path, "ping/", 1},
        {"through a loop", tree.path, "loop/sub", 1},
        {"folder holding a loop", tree.path, "holds_loop", 0},
        {"deeper than PATH_MAX", tree.path, deep.down(deep_tree::depth), 1},
        {"deep, from half-way down", tree / deep.down(deep_tree::depth / 2),
         deep.down(deep_tree::depth / 2), 0},
        // The entries of this folder have paths longer than PATH_MAX.
        {"just below PATH_MAX, entries beyond it", tree.path, deep.down(16), 0},
    };
    for (const auto &[what, cwd, path, status] : runs) {
        SCOPED_TRACE(what);
        run_options options;
        options.cwd = cwd;
        const run_result result = run_program({"-P", path}, options);
        expect_clean_end(result);
        EXPECT_EQ(result.status, status) << result.err;
    }
}

// Entries of a folder reached by a path just below PATH_MAX, their own paths
// beyond it, are listed with their status all the same.
TEST(HostilePath, EntriesBeyondPathMaxAreListed) {
    temp_folder tree;
    const deep_tree deep(tree.path);
    const std::string folder = deep.down(16);
    // A file beside the next level, made and removed through a descriptor
    // of the folder, before the tree itself goes.
    struct file_beside {
        int at;
        std::string name;
        ~file_beside() {
            unlinkat(at, name.c_str(), 0);
            close(at);
        }
    } file{-1, deep.level.substr(1)};
    {
        working_folder inside(tree.path);
        file.at = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    }
    ASSERT_GE(file.at, 0);
    const int written = openat(file.at, file.name.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(write(written, "seven b", 7), 7);
    close(written);
    ASSERT_GT(folder.size() + deep.level.size(), static_cast<std::size_t>(PATH_MAX));
    run_options options;
    options.cwd = tree.path;
    const run_result result = run_program({folder}, options);
    EXPECT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> entries = entry_lines(result.out);
    ASSERT_EQ(entries.size(), 2u) << result.out;
    const std::string file_line = line_for(result.out, file.name);
    EXPECT_TRUE(file_line.starts_with("  <file ")) << file_line;
    EXPECT_EQ(attribute(file_line, "size"), "7");
    EXPECT_TRUE(line_for(result.out, deep.level).starts_with("  <folder ")) << result.out;
}
