// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// Fuzzer-chosen paths and flag words over a small fixture tree. An input is
// a flag word (its first four bytes, little-endian) and a path (the rest, up
// to the first NUL). Paths stay inside the tree: each call runs with the
// tree as working folder, and an absolute path is taken from the tree's
// root instead of the system's, so that no run walks /proc or /usr and every
// run takes about the same time.
//
// Checked on every input, besides what the sanitizers catch (crashes,
// undefined behaviour, leaks): a path that climbs out through ".." writes
// nothing and gives -EINVAL; with STAY_BENEATH, an absolute one (or one
// that leads out of the tree through a link) writes nothing and gives
// -EPERM; any other writes one document, from the XML declaration to the
// closing tag, and gives 0 or another negated errno; no descriptor is left
// open.
//
// The same bytes are also written as a name under each kind of character
// set (UTF-8, ASCII, and the legacy ones that are installed): libxml2 must
// read the text as an attribute value, and outside UTF-8 it must be ASCII.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <ftw.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libxml/parser.h>

#include "kelvane.h"
#include "listing.h"

namespace {

std::string tree; // absolute path of the fixture tree
int home = -1;    // the working folder libFuzzer started in

// The locales names are written under: one of each kind of character set,
// as far as they are installed.
locale_t locales[4];
std::size_t locale_count = 0;

[[noreturn]] void fail(const char *what, const std::string &path, std::string_view text) {
    std::fprintf(stderr, "kelvane_fuzz: %s\npath: \"%s\"\noutput:\n%.*s\n", what,
                 path.c_str(), static_cast<int>(text.size()), text.data());
    std::abort();
}

int lowest_free_descriptor() {
    const int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

// The rule for paths refused before anything is written, stated on its own
// here so that the listing is not checked against itself.
bool climbs_out(std::string_view path) {
    if (path == ".." || path.starts_with("../"))
        return true;
    return path.size() > 3 &&
           (path.find("/../") != std::string_view::npos || path.ends_with("/.."));
}

void make_file(const std::string &path, const char *content = "") {
    FILE *file = std::fopen(path.c_str(), "w");
    if (!file)
        fail("cannot make the fixture tree", path, std::strerror(errno));
    std::fputs(content, file);
    std::fclose(file);
}

// Files, folders, hidden entries, names with markup and control bytes, names
// the guard must not mistake for "..", links to a folder, to nothing and to
// themselves, links that climb within the tree, step out of it and back, or
// lead out of it (to a device, never listed), a pipe and a folder nobody
// may read.
void make_tree() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base && *base ? base : "/tmp") + "/kelvane-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data()))
        fail("mkdtemp", pattern, std::strerror(errno));
    tree = pattern;
    for (const char *folder : {"/sub", "/sub/deeper", "/sub/.dot", "/...", "/noperm"})
        mkdir((tree + folder).c_str(), 0755);
    for (const char *file : {"/a", "/.hidden", "/a&b<c>\"d'", "/ctl\x01\t\x7f", "/..a",
                             "/a..", "/sub/b", "/sub/deeper/c", "/.../x"})
        make_file(tree + file, "some text");
    symlink("sub", (tree + "/link").c_str());
    symlink("missing", (tree + "/dangling").c_str());
    symlink("loop", (tree + "/loop").c_str());
    symlink("../a", (tree + "/sub/up").c_str());
    symlink(("../../" + tree.substr(tree.rfind('/') + 1) + "/a").c_str(),
            (tree + "/sub/back_in").c_str());
    symlink("/dev/null", (tree + "/out").c_str());
    mkfifo((tree + "/fifo").c_str(), 0644);
    chmod((tree + "/noperm").c_str(), 0);
}

void remove_tree() {
    chmod((tree + "/noperm").c_str(), 0700);
    nftw(
        tree.c_str(),
        [](const char *path, const struct stat *, int kind, struct FTW *) {
            return kind == FTW_DP ? rmdir(path) : unlink(path);
        },
        16, FTW_DEPTH | FTW_PHYS);
}

void load_locales() {
    for (const char *name : {"C", "C.UTF-8", "en_US.ISO-8859-1", "ja_JP.EUC-JP"})
        if (locale_t locale = newlocale(LC_ALL_MASK, name, nullptr))
            locales[locale_count++] = locale;
}

// `name` written under each locale: an attribute value libxml2 reads, and
// ASCII unless the character set is UTF-8.
void check_name(std::string_view name) {
    for (std::size_t i = 0; i < locale_count; ++i) {
        uselocale(locales[i]);
        const name_codeset codeset = locale_codeset();
        char *buffer = nullptr;
        std::size_t length = 0;
        std::FILE *out = open_memstream(&buffer, &length);
        if (!out)
            fail("open_memstream", std::string(name), std::strerror(errno));
        write_escaped(out, name, codeset);
        std::fclose(out);
        uselocale(LC_GLOBAL_LOCALE);
        const std::string element = "<e name=\"" + std::string(buffer, length) + "\"/>";
        std::free(buffer);
        if (codeset != name_codeset::utf8 &&
            std::any_of(element.begin(), element.end(),
                        [](char c) { return static_cast<unsigned char>(c) > 0x7F; }))
            fail("a name outside UTF-8 is not ASCII", std::string(name), element);
        xmlDocPtr doc = xmlReadMemory(
            element.data(), static_cast<int>(element.size()), "name.xml", "UTF-8",
            XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        if (!doc)
            fail("a name is not a well-formed attribute value", std::string(name),
                 element);
        xmlFreeDoc(doc);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    make_tree();
    std::atexit(remove_tree);
    load_locales();
    xmlInitParser();
    home = open(".", O_RDONLY | O_DIRECTORY);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    unsigned flags = 0;
    const std::size_t flag_bytes = std::min(size, sizeof flags);
    std::memcpy(&flags, data, flag_bytes);
    std::string path(reinterpret_cast<const char *>(data) + flag_bytes,
                     size - flag_bytes);
    path.resize(std::strlen(path.c_str()));
    check_name(path);
    if (path.starts_with('/'))
        path = tree + path;

    // Taken before each call: libFuzzer itself may open descriptors between
    // calls (its symbolizer, when it reports new functions).
    const int lowest_free_fd = lowest_free_descriptor();
    char *buffer = nullptr;
    std::size_t length = 0;
    std::FILE *out = open_memstream(&buffer, &length);
    if (!out || chdir(tree.c_str()) != 0)
        fail("cannot set up the call", path, std::strerror(errno));
    const int result = kelvane(out, path.c_str(), flags);
    if (fchdir(home) != 0)
        fail("cannot go back", path, std::strerror(errno));
    std::fclose(out);
    const std::string document(buffer, length);
    std::free(buffer);

    if (climbs_out(path)) {
        if (result != -EINVAL || !document.empty())
            fail("a path that climbs out was not refused", path, document);
    } else if ((flags & STAY_BENEATH) && (path.starts_with('/') || result == -EPERM)) {
        if (result != -EPERM || !document.empty())
            fail("a path that leads out of the tree was not refused", path, document);
    } else {
        if (result > 0 || result == -EINVAL)
            fail("unexpected result", path, std::to_string(result));
        if (!document.starts_with("<?xml version=\"1.0\" encoding=\"") ||
            !document.ends_with("</folder-listing>\n"))
            fail("not a complete document", path, document);
    }
    if (lowest_free_descriptor() != lowest_free_fd)
        fail("a descriptor was left open", path, document);
    return 0;
}
