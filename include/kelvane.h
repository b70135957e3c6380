/*
 * kelvane: describe a folder, or one file, as an OBEX folder-listing
 * XML document.
 *
 * Usable from C (C11 or later) and from C++.
 */
#ifndef KELVANE_H
#define KELVANE_H

#include <errno.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Listing flags, combined with | into the flag word passed to kelvane(). */
enum kelvane_flag {
    SHOW_PARENT = 0x01, /* write the parent-folder element */
    SHOW_HIDDEN = 0x02, /* also list entries whose name begins with a dot */
    SHOW_TIMES = 0x04,  /* write the created, modified and accessed times */
    SHOW_PERMS = 0x08,  /* write user-perm, group-perm and other-perm */
    SHOW_OWNER = 0x10,  /* write the owner id; leave the owner bits unmasked */
    SHOW_GROUP = 0x20,  /* write the group id; leave the group bits unmasked */
    NO_WRITE = 0x40,    /* never report the W letter */
    NO_DELETE = 0x80    /* never report the D letter */
};

/*
 * Results of kelvane(): 0, or a negated errno value. Besides the two
 * named here, a failure of the system while listing a folder comes back
 * as its own negated errno value, for example -EACCES for a folder that
 * cannot be opened, -EMFILE when no file descriptor is left, -ENOMEM
 * when memory runs out during the walk.
 */
#define KELVANE_OK 0
/* The path climbs upwards through "..", or the path or stream is null;
 * nothing has been written. */
#define KELVANE_REFUSED (-EINVAL)
/* The path cannot be read, or is neither a regular file nor a folder;
 * the document has been written without entries. */
#define KELVANE_NOT_LISTED (-ENOTDIR)

/*
 * Write the folder-listing document for `path` (a folder or a regular
 * file) to `out`, with the attributes that `flags` select. The stream
 * stays open and is not flushed: the caller owns it, and checks it for
 * write errors. Safe to call from several threads at once; calls on the
 * same stream each write a whole document in turn.
 */
int kelvane(FILE *out, const char *path, unsigned int flags);

#ifdef __cplusplus
}
#endif

#endif /* KELVANE_H */
