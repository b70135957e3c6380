/* SPDX-FileCopyrightText: 2026 the kelvane developers */
/* SPDX-License-Identifier: MIT */

/* The public header from plain C11: include it, call the library, read back
 * what it wrote, as an embedding server would. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
