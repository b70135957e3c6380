/* SPDX-FileCopyrightText: 2026 the kelvane developers */
/* SPDX-License-Identifier: MIT */

/*
 * Lists one folder many times in one process, as a server that embeds the
 * library would, with the library given by its path:
 *
 *   kelvane_repeat LIBRARY FOLDER CALLS [FLAGS]
 *
 * Loads LIBRARY (a libkelvane.so of any build) with dlopen, and calls its
 * kelvane() CALLS times on FOLDER with the flag word FLAGS (a number,
 * default 0), writing every document to standard output; exits 0 when
 * every call returned 0 and every document was written. The benchmark runs
 * it with standard output on /dev/null, once for this build's library and
 * once for an older one's, so that what each call costs beyond its entries
 * (setting up, deciding whether to read ahead) is compared in one run.
 *
 * All the documents go to the one stream, flushed after each call: a
 * server keeps its connection's stream and sends each reply whole. A fresh
 * stream per call would add the same fopen and fclose to both builds and
 * only blur the difference between them.
 */
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef int listing_function(FILE *out, const char *path, unsigned int flags);

static int usage(void) {
    fputs("usage: kelvane_repeat LIBRARY FOLDER CALLS [FLAGS]\n", stderr);
    return 2;
}

/* A whole non-negative number, or -1. */
static long number(const char *text) {
    char *end;
    errno = 0;
    const long value = strtol(text, &end, 0);
    return end != text && *end == '\0' && errno == 0 && value >= 0 ? value : -1;
}

int main(int argc, char **argv) {
    if (argc != 4 && argc != 5)
        return usage();
    const char *folder = argv[2];
    const long calls = number(argv[3]);
    const long flags = argc == 5 ? number(argv[4]) : 0;
    if (calls < 0 || flags < 0)
        return usage();

    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "kelvane_repeat: %s\n", dlerror());
        return 1;
    }
    void *symbol = dlsym(library, "kelvane");
    if (!symbol) {
        fprintf(stderr, "kelvane_repeat: %s has no kelvane()\n", argv[1]);
        return 1;
    }
    /* ISO C has no cast from an object pointer to a function pointer;
     * copying the bytes is what POSIX guarantees to work. */
    listing_function *list;
    memcpy(&list, &symbol, sizeof list);

    for (long call = 0; call < calls; ++call) {
        const int result = list(stdout, folder, (unsigned int)flags);
        if (result != 0) {
            fprintf(stderr, "kelvane_repeat: call %ld: %s\n", call + 1,
                    strerror(-result));
            return 1;
        }
        if (fflush(stdout) != 0) {
            perror("kelvane_repeat: standard output");
            return 1;
        }
    }
    return 0;
}
