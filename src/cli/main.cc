// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The kelvane program: options in, document on standard output, errors on
// standard error, exit status 0 or 1.
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include "kelvane.h"

namespace {

const char banner[] = "kelvane " KELVANE_VERSION
                      " - describes a folder as an OBEX folder-listing document\n";

// -h writes the help to standard error, --help the same text to standard
// output, where tools that read a program's help look for it.
void print_help(std::FILE *out) {
    std::fputs(banner, out);
    std::fprintf(out, "\nUsage: %s [<options>]\n", "kelvane");
    std::fputs("\nOptions:\n"
               " -P  show parent folder indicator\n"
               " -H  also list hidden files/directories\n"
               " -t  show time attributes\n"
               " -p  show permission attributes\n"
               " -o  show file owner attribute\n"
               " -g  show file group attribute\n"
               " -h  this help message\n",
               out);
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

// The long options have no letter: getopt_long hands back these values.
enum long_option { help_option = 0x100, version_option, beneath_option };

const struct option long_options[] = {
    {"help", no_argument, nullptr, help_option},
    {"version", no_argument, nullptr, version_option},
    {"beneath", required_argument, nullptr, beneath_option},
    {nullptr, 0, nullptr, 0},
};

// The folder --beneath names, opened as the root of the listing: the
// operand is resolved inside it and nothing outside it is reached. -1, with
// the error said, when it can't be opened.
int open_root(const char *folder) {
    const int root = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0)
        std::fprintf(stderr, "%s: %s\n", folder, std::strerror(errno));
    return root;
}

} // namespace

int main(int argc, char **argv) {
    unsigned flags = 0;
    const char *beneath = nullptr;
    for (int option;
         (option = getopt_long(argc, argv, "PHtpogh", long_options, nullptr)) != -1;) {
        switch (option) {
        case 'P': flags |= SHOW_PARENT; break;
        case 'H': flags |= SHOW_HIDDEN; break;
        case 't': flags |= SHOW_TIMES; break;
        case 'p': flags |= SHOW_PERMS; break;
        case 'o': flags |= SHOW_OWNER; break;
        case 'g': flags |= SHOW_GROUP; break;
        case 'h': print_help(stderr); return 0;
        case help_option: print_help(stdout); return finish_output() ? 0 : 1;
        case version_option:
            std::fputs("kelvane " KELVANE_VERSION "\n", stdout);
            return finish_output() ? 0 : 1;
        case beneath_option: beneath = optarg; break;
        default: break; // getopt has said what was wrong; carry on
        }
    }
    const char *path = optind < argc ? argv[optind] : ".";

    std::fputs(banner, stderr);
    std::setlocale(LC_ALL, "");
    int root = AT_FDCWD;
    if (beneath) {
        if ((root = open_root(beneath)) < 0)
            return 1;
        flags |= STAY_BENEATH;
    }
    use_large_output_buffer();
    const int result = kelvane_at(stdout, root, path, flags);
    if (root != AT_FDCWD)
        close(root);
    const bool delivered = finish_output();
    if (result != 0)
        print_error(-result);
    return result == 0 && delivered ? 0 : 1;
}
