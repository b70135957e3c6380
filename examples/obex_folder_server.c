/* SPDX-FileCopyrightText: 2026 the kelvane developers */
/* SPDX-License-Identifier: MIT */

/*
 * Embedding libkelvane in a server: an OBEX folder-browsing server on
 * libopenobex that serves one folder, read-only, over TCP.
 *
 *     obex_folder_server [--port=N] [--once] [-P] [-H] [-t] [-p] [-o] [-g] DIR
 *
 * It listens on 127.0.0.1, port N (0: any free port; by default 650, the
 * OBEX-over-TCP port), and prints the port alone on the first line of
 * standard output once it accepts connections. --once ends it when the
 * first client has gone. The letters choose the listing's attributes, as
 * for kelvane. SIGINT and SIGTERM end it cleanly. Browse it with obexftp:
 *
 *     obex_folder_server --port=6500 -p ~/Pictures &
 *     obexftp -n 127.0.0.1:6500 -l
 *
 * A client connects to the folder-browsing service, moves through the
 * folders with SETPATH, lists them with a GET of type x-obex/folder-listing
 * and fetches files with a GET by name; PUT and DELETE are forbidden.
 * Nothing outside DIR is ever reached: every path is resolved beneath it by
 * the kernel (openat2 with RESOLVE_BENEATH, and STAY_BENEATH for listings),
 * so a symbolic link that leads out is neither listed, entered nor read.
 * Entries the listing leaves out (hidden ones, unless -H) can't be entered
 * or fetched either.
 *
 * One thread serves every client. A listing is pulled from libkelvane
 * piece by piece as the response packets are built, never kept whole, so
 * memory stays flat however large the folder. It is opened non-blocking:
 * while a folder on a slow file system has nothing ready, its request is
 * suspended and the listing's descriptor takes the client's place in the
 * poll loop, so that the other clients are served meanwhile.
 */
#define _GNU_SOURCE /* accept4, ppoll */

#include <kelvane.h>
#include <openobex/obex.h>

#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <linux/openat2.h>
#include <locale.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

/* The target a client names to browse folders, F9EC7BC4-953C-11D2-984E-
 * 525400DC9E09; the server names itself with it in its Who header. */
static const uint8_t folder_browsing[16] = {0xF9, 0xEC, 0x7B, 0xC4, 0x95, 0x3C, 0x11, 0xD2,
                                            0x98, 0x4E, 0x52, 0x54, 0x00, 0xDC, 0x9E, 0x09};
static const char listing_type[] = "x-obex/folder-listing";

/* Clients served at once; more wait in the listening socket's backlog. */
#define MAX_CLIENTS 32

struct client {
    obex_t *handle;
    bool gone;             /* the client disconnected or the link broke */
    uint32_t connection;   /* the connection id given at CONNECT; 0 before */
    char folder[PATH_MAX]; /* the current folder, relative to DIR ("" is DIR) */
    /* The GET being answered: what it names, a listing or a file, and,
     * while the listing has nothing ready, the suspended response. */
    char requested[PATH_MAX];
    kelvane_listing *listing;
    int file;
    obex_object_t *suspended;
    uint8_t body[OBEX_MAXIMUM_MTU]; /* the body's next piece: a packet's worth */
};

static int served = -1;        /* DIR, the root of every path */
static unsigned listing_flags; /* from the letters */
static uint32_t last_connection;
static iconv_t from_utf16;
static volatile sig_atomic_t stopping;

static void stop(int signal_number) {
    (void)signal_number;
    stopping = 1;
}

/* Opens `path`, relative to DIR, without ever leaving DIR: the kernel
 * refuses a path that would, through "..", an absolute name or a symbolic
 * link, even one swapped in meanwhile. Gives the descriptor or -errno. */
static int open_beneath(const char *path, int flags) {
    struct open_how how = {.flags = (uint64_t)flags | O_CLOEXEC, .resolve = RESOLVE_BENEATH};
    int fd = (int)syscall(SYS_openat2, served, path, &how, sizeof how);
    if (fd >= 0)
        return fd;
    /* EXDEV is openat2's "outside": the refusal kelvane_open gives as EPERM. */
    return errno == EXDEV ? -EPERM : -errno;
}

/* The response to a request that can't be served, from the negated errno
 * of why: what isn't there, or isn't what was asked for, is Not Found; what
 * is refused (outside DIR, unreadable, a name that is not one entry) is
 * Forbidden; anything else is the server's own failure. */
static void refuse(obex_object_t *object, int error) {
    uint8_t response;
    switch (error) {
    case -ENOENT:
    case -ENOTDIR:
        response = OBEX_RSP_NOT_FOUND;
        break;
    case -EPERM:
    case -EACCES:
    case -EINVAL:
        response = OBEX_RSP_FORBIDDEN;
        break;
    default:
        response = OBEX_RSP_INTERNAL_SERVER_ERROR;
    }
    OBEX_ObjectSetRsp(object, response, response);
}

/* The headers of a request that the server looks at. */
struct request {
    bool has_name;
    char name[NAME_MAX + 1];
    bool is_listing; /* Type: x-obex/folder-listing */
    bool has_target; /* Target: folder browsing */
    bool has_connection;
    uint32_t connection;
};

/* OBEX names are UTF-16, big-endian, ending with a null; file names here
 * are taken to be UTF-8, as on any current system. False for a name that
 * doesn't convert or fit, or holds a null before its end. */
static bool name_from_utf16(const uint8_t *value, uint32_t size, char *name, size_t capacity) {
    char *in = (char *)value;
    size_t in_left = size;
    char *out = name;
    size_t out_left = capacity - 1;
    iconv(from_utf16, NULL, NULL, NULL, NULL);
    if (iconv(from_utf16, &in, &in_left, &out, &out_left) == (size_t)-1)
        return false;
    *out = '\0';
    return strlen(name) + 1 >= (size_t)(out - name);
}

/* Reads the request's headers into `request`. False for a name that is
 * none this server could hold. */
static bool read_request(obex_t *handle, obex_object_t *object, struct request *request) {
    memset(request, 0, sizeof *request);
    bool name_converts = true;
    uint8_t id;
    obex_headerdata_t value;
    uint32_t size;
    while (OBEX_ObjectGetNextHeader(handle, object, &id, &value, &size) > 0) {
        switch (id) {
        case OBEX_HDR_NAME:
            request->has_name = true;
            name_converts = name_from_utf16(value.bs, size, request->name, sizeof request->name);
            break;
        case OBEX_HDR_TYPE:
            /* ASCII, with or without its terminating null. */
            request->is_listing =
                (size == sizeof listing_type || size == sizeof listing_type - 1) &&
                memcmp(value.bs, listing_type, sizeof listing_type - 1) == 0;
            break;
        case OBEX_HDR_TARGET:
            request->has_target = size == sizeof folder_browsing &&
                                  memcmp(value.bs, folder_browsing, size) == 0;
            break;
        case OBEX_HDR_CONNECTION:
            request->has_connection = true;
            request->connection = value.bq4;
            break;
        }
    }
    return name_converts;
}

/* The path, relative to DIR, of the entry a request names in `folder`; no
 * name, or an empty one, stands for the folder itself. Gives 0, or -EINVAL
 * for a name that is not one entry ("..", ".", one holding a slash), or
 * -ENOENT for a hidden entry while hidden entries are not listed. */
static int entry_path(const char *folder, const struct request *request, char *path,
                      size_t capacity) {
    const char *name = request->has_name ? request->name : "";
    if (strchr(name, '/') || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return -EINVAL;
    if (name[0] == '.' && !(listing_flags & SHOW_HIDDEN))
        return -ENOENT;
    int length;
    if (!name[0])
        length = snprintf(path, capacity, "%s", folder[0] ? folder : ".");
    else if (!folder[0])
        length = snprintf(path, capacity, "%s", name);
    else
        length = snprintf(path, capacity, "%s/%s", folder, name);
    return length < 0 || (size_t)length >= capacity ? -EINVAL : 0;
}

static void answer_connect(struct client *client, obex_object_t *object) {
    struct request request;
    read_request(client->handle, object, &request);
    /* Folder browsing is the only service here: a client that asks for
     * another, or for none (the inbox), finds none. */
    if (!request.has_target) {
        OBEX_ObjectSetRsp(object, OBEX_RSP_SERVICE_UNAVAILABLE, OBEX_RSP_SERVICE_UNAVAILABLE);
        return;
    }
    client->connection = ++last_connection;
    OBEX_ObjectAddHeader(client->handle, object, OBEX_HDR_CONNECTION,
                         (obex_headerdata_t){.bq4 = client->connection}, 4,
                         OBEX_FL_FIT_ONE_PACKET);
    OBEX_ObjectAddHeader(client->handle, object, OBEX_HDR_WHO,
                         (obex_headerdata_t){.bs = folder_browsing}, sizeof folder_browsing,
                         OBEX_FL_FIT_ONE_PACKET);
}

/* Reads a SETPATH's or a GET's headers into `request`, or answers it when
 * it can't be served: outside the connection made by CONNECT, or naming
 * what can't be a file name. */
static bool read_served_request(const struct client *client, obex_object_t *object,
                                struct request *request) {
    if (!read_request(client->handle, object, request)) {
        refuse(object, -EINVAL);
        return false;
    }
    if (client->connection == 0 ||
        (request->has_connection && request->connection != client->connection)) {
        OBEX_ObjectSetRsp(object, OBEX_RSP_SERVICE_UNAVAILABLE, OBEX_RSP_SERVICE_UNAVAILABLE);
        return false;
    }
    return true;
}

static void answer_setpath(struct client *client, obex_object_t *object) {
    struct request request;
    if (!read_served_request(client, object, &request))
        return;
    uint8_t *prefix; /* flags, then constants; bit 0 of the flags: up one */
    bool backup = OBEX_ObjectGetNonHdrData(object, &prefix) >= 1 && (prefix[0] & 0x01);

    /* The new folder is worked out apart, and taken only once it is found:
     * a SETPATH that fails leaves the client where it was. */
    char folder[PATH_MAX] = "";
    if (backup) {
        if (!client->folder[0]) {
            refuse(object, -ENOENT); /* never above DIR */
            return;
        }
        const char *slash = strrchr(client->folder, '/');
        size_t kept = slash ? (size_t)(slash - client->folder) : 0;
        memcpy(folder, client->folder, kept);
        folder[kept] = '\0';
    }
    if (request.has_name && request.name[0]) {
        /* Into a subfolder: one that is there, beneath DIR. */
        char path[PATH_MAX];
        int result = entry_path(backup ? folder : client->folder, &request, path, sizeof path);
        int found = result == 0 ? open_beneath(path, O_PATH | O_DIRECTORY) : result;
        if (found < 0) {
            refuse(object, found);
            return;
        }
        close(found);
        strcpy(folder, path);
    }
    /* Neither the backup flag nor a name: back to DIR itself. */
    strcpy(client->folder, folder);
}

/* Opens the file a GET names, for its bytes. Gives 0 or -errno. */
static int open_file(struct client *client, obex_object_t *object) {
    /* O_NONBLOCK, so that a FIFO can't hold the server in open(); it
     * changes nothing for the regular file read afterwards. */
    int file = open_beneath(client->requested, O_RDONLY | O_NONBLOCK);
    if (file < 0)
        return file;
    struct stat status;
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(file);
        return -ENOENT; /* a folder or a device is no file to fetch */
    }
    /* The length lets the client show how far it has come. */
    if (status.st_size <= UINT32_MAX)
        OBEX_ObjectAddHeader(client->handle, object, OBEX_HDR_LENGTH,
                             (obex_headerdata_t){.bq4 = (uint32_t)status.st_size}, 4, 0);
    client->file = file;
    return 0;
}

static void answer_get(struct client *client, obex_object_t *object) {
    struct request request;
    if (!read_served_request(client, object, &request))
        return;
    if (!request.is_listing && !(request.has_name && request.name[0])) {
        OBEX_ObjectSetRsp(object, OBEX_RSP_BAD_REQUEST, OBEX_RSP_BAD_REQUEST);
        return;
    }
    int result = entry_path(client->folder, &request, client->requested, sizeof client->requested);
    if (result == 0 && request.is_listing) {
        /* The parent-folder element offers a way up; there is none from DIR. */
        unsigned flags = listing_flags | STAY_BENEATH | KELVANE_NONBLOCK;
        if (strcmp(client->requested, ".") == 0)
            flags &= ~(unsigned)SHOW_PARENT;
        /* kelvane_open tells why a folder can't be listed before a byte of
         * the listing is sent, so that the response can say it. */
        result = kelvane_open(&client->listing, served, client->requested, flags);
    } else if (result == 0) {
        result = open_file(client, object);
    }
    if (result != 0) {
        refuse(object, result);
        return;
    }
    /* The body is streamed: the library asks for each next piece
     * (OBEX_EV_STREAMEMPTY) as it builds the response packets. */
    OBEX_ObjectAddHeader(client->handle, object, OBEX_HDR_BODY, (obex_headerdata_t){.bs = NULL},
                         0, OBEX_FL_STREAM_START);
}

/* Hands the library the body's next piece, or its end. False when the
 * listing has nothing ready yet. */
static bool add_body_piece(struct client *client, obex_object_t *object) {
    ssize_t got;
    if (client->listing) {
        got = kelvane_read(client->listing, client->body, sizeof client->body);
        if (got == -EAGAIN)
            return false;
    } else {
        got = read(client->file, client->body, sizeof client->body);
        if (got < 0)
            got = -errno;
    }
    if (got < 0) {
        /* A body that fails midway must not pass for a whole one: the
         * request ends with an error response instead of End-of-Body. */
        fprintf(stderr, "%s: %s\n", client->requested, strerror((int)-got));
        OBEX_CancelRequest(client->handle, 1);
        return true;
    }
    /* An empty piece ends the body with the End-of-Body header, which
     * tells the client that the object is whole. */
    OBEX_ObjectAddHeader(client->handle, object, OBEX_HDR_BODY,
                         (obex_headerdata_t){.bs = client->body}, (uint32_t)got,
                         got > 0 ? OBEX_FL_STREAM_DATA : OBEX_FL_STREAM_DATAEND);
    return true;
}

/* Ends the GET being answered, however it ended. A failure of the listing
 * met after its first piece (a status that could not be read, a folder
 * that failed midway) can no longer change the response: it is said here. */
static void end_get(struct client *client) {
    if (client->listing) {
        int result = kelvane_close(client->listing);
        client->listing = NULL;
        if (result != 0)
            fprintf(stderr, "%s: %s\n", client->requested, strerror(-result));
    }
    if (client->file >= 0) {
        close(client->file);
        client->file = -1;
    }
    client->suspended = NULL;
}

static void on_event(obex_t *handle, obex_object_t *object, int mode, int event, int command,
                     int response) {
    (void)mode;
    (void)response;
    struct client *client = OBEX_GetUserData(handle);
    switch (event) {
    case OBEX_EV_REQHINT:
        /* A request begins: take those the server answers. PUT (and DELETE,
         * a PUT without a body) would change DIR, which is served read-only:
         * refused before its body comes in. */
        switch (command) {
        case OBEX_CMD_CONNECT:
        case OBEX_CMD_DISCONNECT:
        case OBEX_CMD_GET:
        case OBEX_CMD_SETPATH:
            OBEX_ObjectSetRsp(object, OBEX_RSP_CONTINUE, OBEX_RSP_SUCCESS);
            break;
        case OBEX_CMD_PUT:
            OBEX_ObjectSetRsp(object, OBEX_RSP_FORBIDDEN, OBEX_RSP_FORBIDDEN);
            break;
        default:
            OBEX_ObjectSetRsp(object, OBEX_RSP_NOT_IMPLEMENTED, OBEX_RSP_NOT_IMPLEMENTED);
        }
        break;
    case OBEX_EV_REQ: /* the whole request is in */
        switch (command) {
        case OBEX_CMD_CONNECT: answer_connect(client, object); break;
        case OBEX_CMD_SETPATH: answer_setpath(client, object); break;
        case OBEX_CMD_GET: answer_get(client, object); break;
        }
        break;
    case OBEX_EV_STREAMEMPTY:
        if (!add_body_piece(client, object)) {
            /* Nothing ready: the response waits, and the poll loop watches
             * the listing's descriptor instead of the client's socket. */
            OBEX_SuspendRequest(handle, object);
            client->suspended = object;
        }
        break;
    case OBEX_EV_REQDONE: /* the response has gone out */
        if (command == OBEX_CMD_GET)
            end_get(client);
        if (command == OBEX_CMD_DISCONNECT)
            client->gone = true;
        break;
    case OBEX_EV_ABORT: /* the client gave the request up */
        end_get(client);
        break;
    case OBEX_EV_LINKERR:
    case OBEX_EV_PARSEERR:
        client->gone = true;
        break;
    }
}

static struct client *accept_client(int listener) {
    /* Non-blocking, so that a client that stops halfway through a packet
     * holds up no other: the library takes what has come and waits for
     * the rest in the poll loop. */
    int socket = accept4(listener, NULL, NULL, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (socket < 0) {
        perror("accept");
        return NULL;
    }
    struct client *client = calloc(1, sizeof *client);
    obex_t *handle = client ? OBEX_Init(OBEX_TRANS_FD, on_event, OBEX_FL_CLOEXEC) : NULL;
    /* Packets up to the largest OBEX allows, both ways; the client's own
     * limit, given at CONNECT, still holds for what it is sent. */
    if (!handle || OBEX_SetTransportMTU(handle, OBEX_MAXIMUM_MTU, OBEX_MAXIMUM_MTU) < 0 ||
        FdOBEX_TransportSetup(handle, socket, socket, 0) < 0) {
        fputs("cannot take a client: out of memory\n", stderr);
        if (handle)
            OBEX_Cleanup(handle);
        free(client);
        close(socket);
        return NULL;
    }
    client->handle = handle;
    client->file = -1;
    OBEX_SetUserData(handle, client);
    return client;
}

/* libopenobex's descriptor transport takes a read that gives nothing for
 * "no data yet", not for the end of the link, so a client that went away
 * without DISCONNECT would wake the loop for ever: the server looks for
 * itself, leaving what there is to read to the library. */
static bool link_closed(int socket) {
    char byte;
    ssize_t got = recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
}

static void drop_client(struct client *client) {
    end_get(client);
    int socket = OBEX_GetFD(client->handle);
    OBEX_Cleanup(client->handle); /* leaves the descriptor it was given open */
    close(socket);
    free(client);
}

/* Gives a socket listening on 127.0.0.1:*port, the port the system chose
 * when it was 0 (libopenobex's own TCP server would take 0 for 650), or -1
 * after saying why not. */
static int listen_on(unsigned *port) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int reuse = 1;
    struct sockaddr_in address = {.sin_family = AF_INET,
                                  .sin_port = htons((uint16_t)*port),
                                  .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t length = sizeof address;
    if (listener < 0 ||
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
        bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, (struct sockaddr *)&address, &length) != 0) {
        fprintf(stderr, "127.0.0.1 port %u: %s\n", *port, strerror(errno));
        if (listener >= 0)
            close(listener);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return listener;
}

static int usage(void) {
    fputs("usage: obex_folder_server [--port=N] [--once] [-P] [-H] [-t] [-p] [-o] [-g] DIR\n",
          stderr);
    return 1;
}

int main(int argc, char **argv) {
    static const char letters[] = "PHtpog";
    static const unsigned letter_flags[] = {SHOW_PARENT, SHOW_HIDDEN, SHOW_TIMES,
                                            SHOW_PERMS,  SHOW_OWNER,  SHOW_GROUP};
    unsigned port = 650;
    bool once = false;
    const char *folder = NULL;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *letter = arg[0] == '-' && arg[1] && !arg[2] ? strchr(letters, arg[1]) : NULL;
        if (strncmp(arg, "--port=", 7) == 0) {
            char *end;
            unsigned long value = strtoul(arg + 7, &end, 10);
            if (!arg[7] || *end || value > 65535)
                return usage();
            port = (unsigned)value;
        } else if (strcmp(arg, "--once") == 0) {
            once = true;
        } else if (letter) {
            listing_flags |= letter_flags[letter - letters];
        } else if (arg[0] != '-' && !folder) {
            folder = arg;
        } else {
            return usage();
        }
    }
    if (!folder)
        return usage();

    /* The listing's character set follows the locale, as kelvane's does. */
    setlocale(LC_ALL, "");
    served = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (served < 0) {
        fprintf(stderr, "%s: %s\n", folder, strerror(errno));
        return 1;
    }
    from_utf16 = iconv_open("UTF-8", "UTF-16BE");
    if (from_utf16 == (iconv_t)-1) {
        perror("iconv_open");
        return 1;
    }
    int listener = listen_on(&port);
    if (listener < 0)
        return 1;

    /* A client that goes away while its response is written must not end
     * the server. SIGINT and SIGTERM are let in only while it waits in
     * ppoll, so that none is missed between a check and the wait. */
    signal(SIGPIPE, SIG_IGN);
    struct sigaction on_stop = {.sa_handler = stop};
    sigaction(SIGINT, &on_stop, NULL);
    sigaction(SIGTERM, &on_stop, NULL);
    sigset_t blocked, while_waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &while_waiting);

    printf("%u\n", port);
    fflush(stdout);

    struct client *clients[MAX_CLIENTS];
    int count = 0;
    bool a_client_left = false;
    while (!stopping && !(once && a_client_left)) {
        /* For each client, its socket, read or written as the library is
         * about to, or, while its listing has nothing ready, the listing's
         * descriptor; last, the listener while there is room. */
        struct pollfd watched[MAX_CLIENTS + 1];
        for (int i = 0; i < count; i++) {
            const struct client *client = clients[i];
            if (client->suspended)
                watched[i] = (struct pollfd){.fd = kelvane_fd(client->listing), .events = POLLIN};
            else
                watched[i] = (struct pollfd){
                    .fd = OBEX_GetFD(client->handle),
                    .events = OBEX_GetDataDirection(client->handle) == OBEX_DATA_OUT ? POLLOUT
                                                                                     : POLLIN};
        }
        watched[count] =
            (struct pollfd){.fd = count < MAX_CLIENTS ? listener : -1, .events = POLLIN};
        if (ppoll(watched, (nfds_t)count + 1, NULL, &while_waiting) < 0) {
            if (errno == EINTR)
                continue;
            perror("poll");
            break;
        }
        for (int i = 0; i < count; i++) {
            struct client *client = clients[i];
            if (!watched[i].revents)
                continue;
            if (client->suspended) {
                /* The listing has its next piece (or its end): hand it over
                 * and let the response go on. */
                if (add_body_piece(client, client->suspended)) {
                    client->suspended = NULL;
                    OBEX_ResumeRequest(client->handle);
                }
            } else if ((watched[i].revents & POLLIN) && link_closed(watched[i].fd)) {
                client->gone = true;
            } else if (OBEX_Work(client->handle) < 0) {
                client->gone = true;
            }
        }
        bool knocking = watched[count].revents != 0;
        for (int i = 0; i < count;) {
            if (clients[i]->gone) {
                drop_client(clients[i]);
                clients[i] = clients[--count];
                a_client_left = true;
            } else {
                i++;
            }
        }
        if (knocking) {
            struct client *client = accept_client(listener);
            if (client)
                clients[count++] = client;
        }
    }

    for (int i = 0; i < count; i++)
        drop_client(clients[i]);
    close(listener);
    iconv_close(from_utf16);
    close(served);
    return 0;
}
