/* SPDX-FileCopyrightText: 2026 the kelvane developers */
/* SPDX-License-Identifier: MIT */

/* The public header from plain C11: include it, call the library, read back
 * what it wrote, as an embedding server would. It is built with the C
 * library's default types (on a 32-bit system, a 32-bit time_t and off_t),
 * not with the library's own: the header passes none of them, so that
 * such a caller still gets every date and size whole. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "kelvane.h"

static char text[1 << 16];

/* Lists `path` (relative to `root`, or with kelvane() when it is
 * AT_FDCWD) into a temporary file and leaves what was written in `text`. */
static int list_into_text(int root, const char *path, unsigned int flags) {
    FILE *out = tmpfile();
    size_t length;
    int result;
    if (!out)
        return -1000;
    result =
        root == AT_FDCWD ? kelvane(out, path, flags) : kelvane_at(out, root, path, flags);
    rewind(out);
    length = fread(text, 1, sizeof text - 1, out);
    text[length] = '\0';
    fclose(out);
    return result;
}

/* Pulls the listing of `path` (relative to `root`) in pieces of `piece`
 * bytes into `text`; gives what kelvane_close() returned, or -1000 when
 * it could not be opened or read. */
static int pull_into_text(int root, const char *path, unsigned int flags, size_t piece) {
    kelvane_listing *listing;
    size_t length = 0;
    ssize_t got = 0;
    if (kelvane_open(&listing, root, path, flags) != 0)
        return -1000;
    while (length + piece < sizeof text &&
           (got = kelvane_read(listing, text + length, piece)) > 0)
        length += (size_t)got;
    text[length] = '\0';
    return kelvane_close(listing) == 0 && got == 0 ? 0 : -1000;
}

static int check(int ok, const char *what) {
    if (!ok)
        fprintf(stderr, "c_api_test: %s\n%s", what, text);
    return ok ? 0 : 1;
}

int main(void) {
    static const char tail[] = "</folder-listing>\n";
    int failures = 0;
    size_t length;
    int root;

    printf("c_api_test: built with a %u-byte time_t and a %u-byte off_t\n",
           (unsigned)sizeof(time_t), (unsigned)sizeof(off_t));
    failures +=
        check(list_into_text(AT_FDCWD, ".", SHOW_PARENT | SHOW_PERMS) == KELVANE_OK,
              "listing \".\" failed");
    length = strlen(text);
    failures += check(strncmp(text, "<?xml ", 6) == 0, "no XML declaration first");
    failures += check(length >= sizeof tail - 1 &&
                          strcmp(text + length - (sizeof tail - 1), tail) == 0,
                      "no closing tag last");
    failures +=
        check(strstr(text, "<parent-folder />") != NULL, "no parent-folder element");

    failures += check(list_into_text(AT_FDCWD, "../x", 0) == KELVANE_REFUSED &&
                          KELVANE_REFUSED == -EINVAL,
                      "\"../x\" was not refused");
    failures += check(text[0] == '\0', "a refused path wrote something");

    {
        /* A file dated 2040 and 5 GiB long, listed whole and pulled in
         * pieces: the same document, with its date and size. */
        char folder[] = "/tmp/c_api_test.XXXXXX";
        char command[128];
        static char listed[sizeof text];
        int listed_result;
        failures += check(mkdtemp(folder) != NULL, "no temporary folder");
        snprintf(command, sizeof command,
                 "cd %s && truncate -s 5G far && touch -d @2208988800 far", folder);
        failures += check(system(command) == 0, "could not make the file dated 2040");
        listed_result = list_into_text(AT_FDCWD, folder, SHOW_TIMES);
        strcpy(listed, text);
        failures += check(listed_result == KELVANE_OK &&
                              strstr(listed, " size=\"5368709120\" ") &&
                              strstr(listed, " modified=\"20400101T000000Z\" "),
                          "the file dated 2040 is not listed whole");
        failures += check(pull_into_text(AT_FDCWD, folder, SHOW_TIMES, 7) == 0 &&
                              strcmp(text, listed) == 0,
                          "the pulled listing differs from the written one");
        snprintf(command, sizeof command, "rm -rf %s", folder);
        failures += check(system(command) == 0, "could not remove the temporary folder");
    }

    root = open(".", O_RDONLY | O_DIRECTORY);
    if (list_into_text(root, ".", STAY_BENEATH) == -ENOSYS &&
        !getenv("KELVANE_TESTS_NEED_OPENAT2")) {
        /* No openat2 here: a kernel before 5.6, or valgrind 3.19. */
        puts("c_api_test: openat2 is not available here, kelvane_at is tried unconfined "
             "only");
        failures +=
            check(list_into_text(root, ".", 0) == KELVANE_OK, "kelvane_at failed");
        close(root);
        return failures == 0 ? 0 : 1;
    }
    failures += check(list_into_text(root, ".", STAY_BENEATH) == KELVANE_OK,
                      "listing \".\" beneath itself failed");
    failures += check(list_into_text(root, "/", STAY_BENEATH) == KELVANE_OUTSIDE &&
                          KELVANE_OUTSIDE == -EPERM && text[0] == '\0',
                      "an absolute path beneath a root was not refused");
    close(root);
    return failures == 0 ? 0 : 1;
}
