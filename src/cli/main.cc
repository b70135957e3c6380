// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The kelvane program: options in, document on standard output, errors on
// standard error, exit status 0 or 1.
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "kelvane.h"

namespace {

const char banner[] = "kelvane " KELVANE_VERSION
                      " - describes a folder as an OBEX folder-listing document\n";

void print_help() {
    std::fputs(banner, stderr);
    std::fprintf(stderr, "\nUsage: %s [<options>]\n", "kelvane");
    std::fputs("\nOptions:\n"
               " -P  show parent folder indicator\n"
               " -H  also list hidden files/directories\n"
               " -t  show time attributes\n"
               " -p  show permission attributes\n"
               " -o  show file owner attribute\n"
               " -g  show file group attribute\n"
               " -h  this help message\n",
               stderr);
}

void print_error(int error) {
    std::fprintf(stderr, "%s\n", std::strerror(error));
}

// The document is only delivered once standard output has taken all of it;
// a full disk or a closed reader must not pass for success.
bool finish_output() {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return true;
    print_error(errno ? errno : EIO);
    return false;
}

// A listing of a large folder is megabytes of text: a buffer larger than
// stdio's default takes it in fewer writes. A terminal keeps its line
// buffering, so that lines show as they come.
void use_large_output_buffer() {
    static char buffer[1 << 16];
    if (!isatty(STDOUT_FILENO))
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

} // namespace

int main(int argc, char **argv) {
    unsigned flags = 0;
    for (int option; (option = getopt(argc, argv, "PHtpogh")) != -1;) {
        switch (option) {
        case 'P': flags |= SHOW_PARENT; break;
        case 'H': flags |= SHOW_HIDDEN; break;
        case 't': flags |= SHOW_TIMES; break;
        case 'p': flags |= SHOW_PERMS; break;
        case 'o': flags |= SHOW_OWNER; break;
        case 'g': flags |= SHOW_GROUP; break;
        case 'h': print_help(); return 0;
        default: break; // getopt has said what was wrong; carry on
        }
    }
    const char *path = optind < argc ? argv[optind] : ".";

    std::fputs(banner, stderr);
    std::setlocale(LC_ALL, "");
    use_large_output_buffer();
    const int result = kelvane(stdout, path, flags);
    const bool delivered = finish_output();
    if (result != 0)
        print_error(-result);
    return result == 0 && delivered ? 0 : 1;
}
