// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// xml_reader FILE: reads the document in FILE with libxml2 and writes the
// names it finds to standard output, each followed by a null byte; exits 1
// when the document is not well-formed. Built for the build machine, for
// the tests of a target that has no libxml2 of its own.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "xml_reader.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fputs("usage: xml_reader FILE\n", stderr);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::perror(argv[1]);
        return 2;
    }
    std::ostringstream document;
    document << file.rdbuf();
    const auto names = names_read_by_libxml2(document.str());
    if (!names)
        return 1;
    for (const std::string &name : *names)
        std::fwrite(name.c_str(), 1, name.size() + 1, stdout);
    return 0;
}
