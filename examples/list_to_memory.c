/* SPDX-FileCopyrightText: 2026 the kelvane developers */
/* SPDX-License-Identifier: MIT */

/*
 * Embedding libkelvane: write the listing of a folder into a memory stream,
 * as a server would before sending it, then print its size and the document.
 *
 *     list_to_memory [folder]
 */
#define _POSIX_C_SOURCE 200809L /* open_memstream */

#include <kelvane.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    const char *folder = argc > 1 ? argv[1] : ".";
    char *document = NULL;
    size_t size = 0;
    FILE *stream = open_memstream(&document, &size);
    if (!stream) {
        perror("open_memstream");
        return 1;
    }

    int result = kelvane(stream, folder, SHOW_PARENT | SHOW_PERMS);
    /* kelvane() leaves the stream to its owner: closing it settles the
     * document and its size, and tells whether memory ran out. */
    if (fclose(stream) != 0) {
        perror("open_memstream");
        free(document);
        return 1;
    }
    if (result != 0) {
        fprintf(stderr, "%s: %s\n", folder, strerror(-result));
        free(document);
        return 1;
    }

    printf("%zu bytes of listing for %s:\n%s", size, folder, document);
    free(document);
    return 0;
}
