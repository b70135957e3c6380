// Faults the listing must survive and report: memory running out and the
// folder failing to read. The test binary puts its own malloc, realloc and
// readdir64 in front of the C library's, failing calls on request.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fixture.h"
#include "kelvane.h"

extern "C" void *__libc_malloc(std::size_t size);
extern "C" void *__libc_realloc(void *pointer, std::size_t size);

namespace {

// A fault plan for one kind of call: while armed, the calls are counted and
// the `fail_from`-th and every later one fails.
struct fault_plan {
    bool armed = false;
    int fail_from = 0;
    int calls = 0;
    bool fails_now() { return armed && ++calls >= fail_from; }
};
fault_plan malloc_faults, realloc_faults, readdir_faults;

// While non-zero, every realloc asking for more bytes than this fails.
std::size_t realloc_limit = 0;

using readdir_function = struct dirent64 *(*)(DIR *);
readdir_function real_readdir64 =
    reinterpret_cast<readdir_function>(dlsym(RTLD_NEXT, "readdir64"));

// Arms a plan for the scope of one kelvane() call.
struct armed {
    fault_plan &plan;
    armed(fault_plan &p, int fail_from) : plan(p) { plan = {true, fail_from, 0}; }
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
    if (malloc_faults.fails_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}

extern "C" void *realloc(void *pointer, std::size_t size) {
    if (realloc_faults.fails_now() || (realloc_limit && size > realloc_limit)) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_realloc(pointer, size);
}

extern "C" struct dirent64 *readdir64(DIR *folder) {
    if (readdir_faults.fails_now()) {
        errno = EIO;
        return nullptr;
    }
    return real_readdir64(folder);
}

TEST(OutOfMemory, WalkReportsItAndClosesTheDocument) {
    temp_folder tree;
    fill(tree, 5);
    const faulty_listing first =
        list_with(realloc_faults, 1, tree.path.c_str(), SHOW_PARENT);
    EXPECT_EQ(first.result, -ENOMEM);
    EXPECT_TRUE(entry_lines(first.document).empty());
    EXPECT_TRUE(first.document.ends_with("</folder-listing>\n"));
    EXPECT_TRUE(well_formed(first.document));
}

// The entry path buffer grows for a name longer than any before it. When it
// can't, the walk ends there, and the names before it stay listed.
TEST(OutOfMemory, WalkKeepsWhatWasListedBeforeTheBufferCouldNotGrow) {
    temp_folder tree;
    fill(tree, 4);
    const std::string long_name(200, 'x');
    make_file(tree / long_name);
    std::vector<std::string> before_long_name;
    {
        DIR *folder = opendir(tree.path.c_str());
        ASSERT_NE(folder, nullptr);
        while (const struct dirent *entry = readdir(folder)) {
            const std::string name = entry->d_name;
            if (name == long_name)
                break;
            if (name != "." && name != "..")
                before_long_name.push_back(name);
        }
        closedir(folder);
    }

    std::FILE *out = unbuffered_stream();
    realloc_limit = tree.path.size() + 100;
    const int result = kelvane(out, tree.path.c_str(), 0);
    realloc_limit = 0;
    const std::string document = contents(out);

    EXPECT_EQ(result, -ENOMEM);
    const std::vector<std::string> listed = entry_lines(document);
    ASSERT_EQ(listed.size(), before_long_name.size());
    for (std::size_t i = 0; i < listed.size(); ++i)
        EXPECT_EQ(attribute(listed[i], "name"), before_long_name[i]);
    EXPECT_TRUE(well_formed(document));
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
