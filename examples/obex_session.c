/* SPDX-FileCopyrightText: 2026 the kelvane developers */
/* SPDX-License-Identifier: MIT */

/*
 * One client's session of the OBEX folder server: its requests, read from
 * the client's bytes once their framing is checked, answered through
 * libopenobex (see obex_session.h). A client connects to the folder-
 * browsing service, moves through the folders with SETPATH, lists them with
 * a GET of type x-obex/folder-listing and fetches files with a GET by
 * name; PUT and DELETE are forbidden. Every path is resolved beneath the
 * served folder by the kernel (openat2 with RESOLVE_BENEATH, and
 * STAY_BENEATH for listings).
 */
#define _GNU_SOURCE

#include "obex_session.h"

#include <kelvane.h>
#include <openobex/obex.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

/* The target a client names to browse folders, F9EC7BC4-953C-11D2-984E-
 * 525400DC9E09; the server names itself with it in its Who header. */
static const uint8_t folder_browsing[16] = {0xF9, 0xEC, 0x7B, 0xC4, 0x95, 0x3C, 0x11, 0xD2,
                                            0x98, 0x4E, 0x52, 0x54, 0x00, 0xDC, 0x9E, 0x09};
static const char listing_type[] = "x-obex/folder-listing";

/* What libopenobex is run for at most after one step of the client's, so
 * that a state it neither answers nor waits in can't hold the server. */
#define WORK_ROUNDS 16

struct session {
    obex_t *handle;
    struct folder_service *service;
    bool over;    /* the link broke, or libopenobex gave up on it */
    bool closing; /* over once the response under way is sent */
    bool fed;     /* a packet handed to libopenobex, maybe not yet taken */
    uint32_t progress;
    uint32_t connection;   /* the connection id given at CONNECT; 0 before */
    char folder[PATH_MAX]; /* the current folder, relative to DIR ("" is DIR) */
    /* The GET being answered: what it names, a listing or a file, and,
     * while the listing has nothing ready, the suspended response. */
    char requested[PATH_MAX];
    kelvane_listing *listing;
    int file;
    obex_object_t *suspended;
    int failure; /* a failure to report, and its path */
    char failed[PATH_MAX];
    /* The packet coming in, and the one going out. */
    size_t received;
    uint8_t packet[OBEX_REQUEST_MTU];
    size_t output_size, output_sent;
    uint8_t output[OBEX_MAXIMUM_MTU];
    uint8_t body[OBEX_MAXIMUM_MTU]; /* the body's next piece: a packet's worth */
};

/* The bytes that lead the headers of a request: CONNECT's version, flags
 * and largest packet, SETPATH's flags and constants. */
static size_t fields_before_headers(uint8_t opcode) {
    switch (opcode & ~OBEX_FINAL) {
    case OBEX_CMD_CONNECT: return 4;
    case OBEX_CMD_SETPATH: return 2;
    default: return 0;
    }
}

/* Whether a packet of `opcode` is whole as a request should be: CONNECT,
 * DISCONNECT and SETPATH come in one packet, with the final bit; PUT, GET
 * and the others may say that more follows. libopenobex loses what it holds
 * of a SETPATH that says more follows. */
static bool final_where_due(uint8_t opcode) {
    switch (opcode & ~OBEX_FINAL) {
    case OBEX_CMD_CONNECT:
    case OBEX_CMD_DISCONNECT:
    case OBEX_CMD_SETPATH: return (opcode & OBEX_FINAL) != 0;
    default: return true;
    }
}

/* Whether a request of `opcode` may hold the header `header`: a body (of
 * whatever type its first byte claims) only in a PUT. libopenobex gathers a
 * body that comes with a request it is to answer (CONNECT, SETPATH, GET)
 * into a buffer it never frees. */
static bool header_belongs(uint8_t opcode, uint8_t header) {
    uint8_t id = header & OBEX_HDR_ID_MASK;
    return (id != OBEX_HDR_ID_BODY && id != OBEX_HDR_ID_BODY_END) ||
           (opcode & ~OBEX_FINAL) == OBEX_CMD_PUT;
}

/* The length of the header at `header`, `left` bytes before the packet's
 * end, or 0 for one that does not fit or gives a length below 3. */
static size_t header_length(const uint8_t *header, size_t left) {
    size_t length;
    switch (header[0] & OBEX_HDR_TYPE_MASK) {
    case OBEX_HDR_TYPE_UINT8: length = 2; break;
    case OBEX_HDR_TYPE_UINT32: length = 5; break;
    default: /* Unicode text and bytes carry their length, these 3 bytes included */
        if (left < 3)
            return 0;
        length = (size_t)header[1] << 8 | header[2];
        if (length < 3)
            return 0;
    }
    return length <= left ? length : 0;
}

int obex_packet_framing(const uint8_t *bytes, size_t size, size_t mtu) {
    if (size < 3)
        return 3;
    size_t length = (size_t)bytes[1] << 8 | bytes[2];
    if (length < 3 || length > mtu || !final_where_due(bytes[0]))
        return -EBADMSG;
    if (size < length)
        return (int)length;
    size_t at = 3 + fields_before_headers(bytes[0]);
    if (at > length)
        return -EBADMSG;
    /* A client that takes packets smaller than OBEX allows would have the
     * response cut into pieces too small to carry it. */
    if ((bytes[0] & ~OBEX_FINAL) == OBEX_CMD_CONNECT &&
        ((size_t)bytes[5] << 8 | bytes[6]) < OBEX_MINIMUM_MTU)
        return -EBADMSG;
    while (at < length) {
        size_t header = header_length(bytes + at, length - at);
        if (header == 0 || !header_belongs(bytes[0], bytes[at]))
            return -EBADMSG;
        at += header;
    }
    return (int)length;
}

/* Opens `path`, relative to DIR, without ever leaving DIR: the kernel
 * refuses a path that would, through "..", an absolute name or a symbolic
 * link, even one swapped in meanwhile. Gives the descriptor or -errno. */
static int open_beneath(const struct session *session, const char *path, int flags) {
    struct open_how how = {.flags = (uint64_t)flags | O_CLOEXEC, .resolve = RESOLVE_BENEATH};
    int fd = (int)syscall(SYS_openat2, session->service->served, path, &how, sizeof how);
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
static bool name_from_utf16(iconv_t from_utf16, const uint8_t *value, uint32_t size,
                            char *name, size_t capacity) {
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
static bool read_request(const struct session *session, obex_object_t *object,
                         struct request *request) {
    memset(request, 0, sizeof *request);
    bool name_converts = true;
    uint8_t id;
    obex_headerdata_t value;
    uint32_t size;
    while (OBEX_ObjectGetNextHeader(session->handle, object, &id, &value, &size) > 0) {
        switch (id) {
        case OBEX_HDR_NAME:
            request->has_name = true;
            name_converts = name_from_utf16(session->service->from_utf16, value.bs, size,
                                            request->name, sizeof request->name);
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
static int entry_path(const struct session *session, const char *folder,
                      const struct request *request, char *path, size_t capacity) {
    const char *name = request->has_name ? request->name : "";
    if (strchr(name, '/') || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return -EINVAL;
    if (name[0] == '.' && !(session->service->listing_flags & SHOW_HIDDEN))
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

static void answer_connect(struct session *session, obex_object_t *object) {
    struct request request;
    read_request(session, object, &request);
    /* Folder browsing is the only service here: a client that asks for
     * another, or for none (the inbox), finds none. */
    if (!request.has_target) {
        OBEX_ObjectSetRsp(object, OBEX_RSP_SERVICE_UNAVAILABLE, OBEX_RSP_SERVICE_UNAVAILABLE);
        return;
    }
    /* Never 0, which stands for "not connected", however many came before. */
    if (++session->service->last_connection == 0)
        session->service->last_connection = 1;
    session->connection = session->service->last_connection;
    OBEX_ObjectAddHeader(session->handle, object, OBEX_HDR_CONNECTION,
                         (obex_headerdata_t){.bq4 = session->connection}, 4,
                         OBEX_FL_FIT_ONE_PACKET);
    OBEX_ObjectAddHeader(session->handle, object, OBEX_HDR_WHO,
                         (obex_headerdata_t){.bs = folder_browsing}, sizeof folder_browsing,
                         OBEX_FL_FIT_ONE_PACKET);
}

/* Reads a SETPATH's or a GET's headers into `request`, or answers it when
 * it can't be served: outside the connection made by CONNECT, or naming
 * what can't be a file name. */
static bool read_served_request(const struct session *session, obex_object_t *object,
                                struct request *request) {
    if (!read_request(session, object, request)) {
        refuse(object, -EINVAL);
        return false;
    }
    if (session->connection == 0 ||
        (request->has_connection && request->connection != session->connection)) {
        OBEX_ObjectSetRsp(object, OBEX_RSP_SERVICE_UNAVAILABLE, OBEX_RSP_SERVICE_UNAVAILABLE);
        return false;
    }
    return true;
}

static void answer_setpath(struct session *session, obex_object_t *object) {
    struct request request;
    if (!read_served_request(session, object, &request))
        return;
    uint8_t *prefix; /* flags, then constants; bit 0 of the flags: up one */
    bool backup = OBEX_ObjectGetNonHdrData(object, &prefix) >= 1 && (prefix[0] & 0x01);

    /* The new folder is worked out apart, and taken only once it is found:
     * a SETPATH that fails leaves the client where it was. */
    char folder[PATH_MAX] = "";
    if (backup) {
        if (!session->folder[0]) {
            refuse(object, -ENOENT); /* never above DIR */
            return;
        }
        const char *slash = strrchr(session->folder, '/');
        size_t kept = slash ? (size_t)(slash - session->folder) : 0;
        memcpy(folder, session->folder, kept);
        folder[kept] = '\0';
    }
    if (request.has_name && request.name[0]) {
        /* Into a subfolder: one that is there, beneath DIR. */
        char path[PATH_MAX];
        int result =
            entry_path(session, backup ? folder : session->folder, &request, path, sizeof path);
        int found = result == 0 ? open_beneath(session, path, O_PATH | O_DIRECTORY) : result;
        if (found < 0) {
            refuse(object, found);
            return;
        }
        close(found);
        strcpy(folder, path);
    }
    /* Neither the backup flag nor a name: back to DIR itself. */
    strcpy(session->folder, folder);
}

/* Opens the file a GET names, for its bytes. Gives 0 or -errno. */
static int open_file(struct session *session, obex_object_t *object) {
    /* O_NONBLOCK, so that a FIFO can't hold the server in open(); it
     * changes nothing for the regular file read afterwards. */
    int file = open_beneath(session, session->requested, O_RDONLY | O_NONBLOCK);
    if (file < 0)
        return file;
    struct stat status;
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(file);
        return -ENOENT; /* a folder or a device is no file to fetch */
    }
    /* The length lets the client show how far it has come. */
    if ((uint64_t)status.st_size <= UINT32_MAX) /* never negative for a file */
        OBEX_ObjectAddHeader(session->handle, object, OBEX_HDR_LENGTH,
                             (obex_headerdata_t){.bq4 = (uint32_t)status.st_size}, 4, 0);
    session->file = file;
    return 0;
}

/* A failure met once the response was under way, noted for the server to
 * tell: the response itself can no longer say it. */
static void note_failure(struct session *session, int error) {
    if (session->failure)
        return;
    session->failure = error;
    strcpy(session->failed, session->requested);
}

/* Ends the GET being answered, however it ended. A failure of the listing
 * met after its first piece (a status that could not be read, a folder
 * that failed midway) is noted. */
static void end_get(struct session *session) {
    if (session->listing) {
        int result = kelvane_close(session->listing);
        session->listing = NULL;
        if (result != 0)
            note_failure(session, result);
    }
    if (session->file >= 0) {
        close(session->file);
        session->file = -1;
    }
    session->suspended = NULL;
}

static void answer_get(struct session *session, obex_object_t *object) {
    struct request request;
    if (!read_served_request(session, object, &request))
        return;
    if (!request.is_listing && !(request.has_name && request.name[0])) {
        OBEX_ObjectSetRsp(object, OBEX_RSP_BAD_REQUEST, OBEX_RSP_BAD_REQUEST);
        return;
    }
    /* A GET that comes while another is answered (its client gave that
     * one up without ABORT) replaces it. */
    end_get(session);
    int result = entry_path(session, session->folder, &request, session->requested,
                            sizeof session->requested);
    if (result == 0 && request.is_listing) {
        /* The parent-folder element offers a way up; there is none from DIR. */
        unsigned flags = session->service->listing_flags | STAY_BENEATH | KELVANE_NONBLOCK;
        if (strcmp(session->requested, ".") == 0)
            flags &= ~(unsigned)SHOW_PARENT;
        /* kelvane_open tells why a folder can't be listed before a byte of
         * the listing is sent, so that the response can say it. */
        result = kelvane_open(&session->listing, session->service->served, session->requested,
                              flags);
    } else if (result == 0) {
        result = open_file(session, object);
    }
    if (result != 0) {
        refuse(object, result);
        return;
    }
    /* The body is streamed: the library asks for each next piece
     * (OBEX_EV_STREAMEMPTY) as it builds the response packets. */
    OBEX_ObjectAddHeader(session->handle, object, OBEX_HDR_BODY,
                         (obex_headerdata_t){.bs = NULL}, 0, OBEX_FL_STREAM_START);
}

/* Hands the library the body's next piece, or its end. False when the
 * listing has nothing ready yet. */
static bool add_body_piece(struct session *session, obex_object_t *object) {
    ssize_t got;
    if (session->listing) {
        got = kelvane_read(session->listing, session->body, sizeof session->body);
        if (got == -EAGAIN)
            return false;
    } else if (session->file >= 0) {
        got = read(session->file, session->body, sizeof session->body);
        if (got < 0)
            got = -errno;
    } else {
        got = -EBADF; /* the body's source is gone: no piece can follow */
    }
    if (got < 0) {
        /* A body that fails midway must not pass for a whole one: the
         * request ends with an error response instead of End-of-Body. */
        note_failure(session, (int)got);
        OBEX_CancelRequest(session->handle, 1);
        return true;
    }
    /* An empty piece ends the body with the End-of-Body header, which
     * tells the client that the object is whole. */
    OBEX_ObjectAddHeader(session->handle, object, OBEX_HDR_BODY,
                         (obex_headerdata_t){.bs = session->body}, (uint32_t)got,
                         got > 0 ? OBEX_FL_STREAM_DATA : OBEX_FL_STREAM_DATAEND);
    return true;
}

static void on_event(obex_t *handle, obex_object_t *object, int mode, int event, int command,
                     int response) {
    (void)mode;
    (void)response;
    struct session *session = OBEX_GetUserData(handle);
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
        case OBEX_CMD_CONNECT: answer_connect(session, object); break;
        case OBEX_CMD_SETPATH: answer_setpath(session, object); break;
        case OBEX_CMD_GET: answer_get(session, object); break;
        }
        break;
    case OBEX_EV_STREAMEMPTY:
        if (!add_body_piece(session, object)) {
            /* Nothing ready: the response waits, and the poll loop watches
             * the listing's descriptor instead of the client's socket. */
            OBEX_SuspendRequest(handle, object);
            session->suspended = object;
        }
        break;
    case OBEX_EV_REQDONE: /* the response has gone out */
        if (command == OBEX_CMD_GET)
            end_get(session);
        if (command == OBEX_CMD_DISCONNECT)
            session->closing = true;
        break;
    case OBEX_EV_ABORT: /* the client gave the request up */
        end_get(session);
        break;
    case OBEX_EV_LINKERR:
    case OBEX_EV_PARSEERR:
        session->over = true;
        break;
    }
}

/* The custom transport: libopenobex writes each response packet into the
 * session's output, which holds one; the poll loop sends it on. */
static int transport_write(obex_t *handle, void *data, uint8_t *bytes, int size) {
    (void)handle;
    struct session *session = data;
    if (size < 0 || (size_t)size > sizeof session->output - session->output_size)
        return -1;
    memcpy(session->output + session->output_size, bytes, (size_t)size);
    session->output_size += (size_t)size;
    return size;
}

/* Tells libopenobex whether a packet has been handed to it since it last
 * looked, so that it takes one no sooner. */
static int transport_input(obex_t *handle, void *data, int timeout) {
    (void)handle;
    (void)timeout;
    struct session *session = data;
    bool fed = session->fed;
    session->fed = false;
    return fed;
}

/* A server's transport listens; here the poll loop has already accepted. */
static int transport_listen(obex_t *handle, void *data) {
    (void)handle;
    (void)data;
    return 0;
}

/* Lets libopenobex take the packet handed to it and build its response,
 * until it has a response packet to send or waits: for the client's next
 * packet, or for the listing. */
static void run(struct session *session) {
    for (int round = 0; round < WORK_ROUNDS; round++) {
        if (session->over || session->output_size > 0 || session->suspended)
            return;
        bool sending = OBEX_GetDataDirection(session->handle) == OBEX_DATA_OUT;
        if (!sending && !session->fed)
            return;
        if (OBEX_Work(session->handle) < 0)
            session->over = true;
    }
    session->over = true;
}

/* A packet that libopenobex must not see: the client is told, and the
 * connection ends once that is sent. */
static void answer_bad_request(struct session *session) {
    static const uint8_t bad_request[3] = {OBEX_RSP_BAD_REQUEST | OBEX_FINAL, 0, 3};
    memcpy(session->output, bad_request, sizeof bad_request);
    session->output_size = sizeof bad_request;
    session->output_sent = 0;
    session->received = 0;
    session->closing = true;
}

int session_start(struct session **started, struct folder_service *service) {
    struct session *session = calloc(1, sizeof *session);
    if (!session)
        return -ENOMEM;
    session->service = service;
    session->file = -1;
    obex_ctrans_t transport = {.listen = transport_listen,
                               .write = transport_write,
                               .handleinput = transport_input,
                               .customdata = session};
    /* Response packets up to the largest OBEX allows; the client's own
     * limit, given at CONNECT, still holds for what it is sent. */
    session->handle = OBEX_Init(OBEX_TRANS_CUSTOM, on_event, 0);
    if (!session->handle || OBEX_RegisterCTransport(session->handle, &transport) < 0 ||
        OBEX_SetTransportMTU(session->handle, OBEX_REQUEST_MTU, OBEX_MAXIMUM_MTU) < 0 ||
        OBEX_ServerRegister(session->handle, NULL, 0) < 0) {
        if (session->handle)
            OBEX_Cleanup(session->handle);
        free(session);
        return -ENOMEM;
    }
    OBEX_SetUserData(session->handle, session);
    *started = session;
    return 0;
}

void session_end(struct session *session) {
    /* libopenobex's cleanup leaves a request under way, and what it has
     * built of its response, allocated: the request is dropped first. */
    OBEX_CancelRequest(session->handle, 0);
    end_get(session);
    OBEX_Cleanup(session->handle);
    free(session);
}

enum session_turn session_turn(const struct session *session) {
    if (session->over)
        return SESSION_OVER;
    if (session->output_size > 0)
        return SESSION_SENDING;
    if (session->closing)
        return SESSION_OVER;
    if (session->suspended)
        return SESSION_LISTING;
    return session->received > 0 ? SESSION_IN_PACKET : SESSION_AWAITS_PACKET;
}

uint32_t session_progress(const struct session *session) { return session->progress; }

size_t session_input_space(struct session *session, uint8_t **space) {
    enum session_turn turn = session_turn(session);
    if (turn != SESSION_AWAITS_PACKET && turn != SESSION_IN_PACKET)
        return 0;
    /* Never negative here: a packet that failed is answered at once. */
    int length = obex_packet_framing(session->packet, session->received, OBEX_REQUEST_MTU);
    *space = session->packet + session->received;
    return (size_t)length - session->received;
}

void session_received(struct session *session, size_t count) {
    session->received += count;
    int length = obex_packet_framing(session->packet, session->received, OBEX_REQUEST_MTU);
    if (length < 0) {
        answer_bad_request(session);
        return;
    }
    if ((size_t)length > session->received)
        return;
    session->received = 0;
    session->progress++;
    if (OBEX_CustomDataFeed(session->handle, session->packet, length) < 0) {
        session->over = true;
        return;
    }
    session->fed = true;
    run(session);
}

size_t session_output(const struct session *session, const uint8_t **bytes) {
    *bytes = session->output + session->output_sent;
    return session->output_size - session->output_sent;
}

void session_sent(struct session *session, size_t count) {
    session->output_sent += count;
    if (session->output_sent < session->output_size)
        return;
    session->output_size = 0;
    session->output_sent = 0;
    session->progress++;
    run(session);
}

int session_listing_fd(const struct session *session) {
    return session->suspended ? kelvane_fd(session->listing) : -1;
}

void session_listing_ready(struct session *session) {
    if (!session->suspended || !add_body_piece(session, session->suspended))
        return;
    session->suspended = NULL;
    OBEX_ResumeRequest(session->handle);
    run(session);
}

int session_failure(struct session *session, const char **path) {
    int failure = session->failure;
    session->failure = 0;
    *path = session->failed;
    return failure;
}
