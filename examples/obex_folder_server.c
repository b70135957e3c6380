/* SPDX-FileCopyrightText: 2026 the kelvane developers */
/* SPDX-License-Identifier: MIT */

/*
 * Embedding libkelvane in a server: an OBEX folder-browsing server on
 * libopenobex that serves one folder, read-only, over TCP, and holds
 * against clients that misbehave.
 *
 *     obex_folder_server [--port=N] [--once] [--idle-timeout=SECONDS]
 *                        [--packet-timeout=SECONDS] [--send-timeout=SECONDS]
 *                        [--max-clients=N] [--max-per-address=N]
 *                        [-P] [-H] [-t] [-p] [-o] [-g] DIR
 *
 * It listens on 127.0.0.1, port N (0: any free port; by default 650, the
 * OBEX-over-TCP port), and prints the port alone on the first line of
 * standard output once it accepts connections. --once ends it when the
 * first client it served has gone. The letters choose the listing's
 * attributes, as for kelvane. SIGINT and SIGTERM end it cleanly, closing
 * every connection and every listing under way. Browse it with obexftp:
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
 * or fetched either. Requests are answered in obex_session.c.
 *
 * Limits, so that no client, however it behaves, keeps the others out:
 *
 *   --idle-timeout=SECONDS    (60) a connection on which no packet comes in
 *                             and none goes out for this long is closed; so
 *                             is one whose listing has nothing ready for it
 *   --packet-timeout=SECONDS  (10) a packet begun must come whole within it
 *   --send-timeout=SECONDS    (30) a response packet the client does not
 *                             take within it ends the session: the
 *                             connection is reset, and its listing or file
 *                             released at once
 *   --max-clients=N           (64) sessions at once
 *   --max-per-address=N       (16) sessions at once from one address
 *
 * A connection beyond either count is accepted and closed at once, never
 * left waiting in the listening socket's backlog. Each request packet's
 * framing is checked before libopenobex parses it (obex_packet_framing): a
 * packet longer than the server's 4 KiB, shorter than its own header, whose
 * headers don't fit it, a CONNECT, DISCONNECT or SETPATH that says more of
 * it follows, or a body in a request other than PUT, is answered Bad
 * Request and the connection closed. A client is sent one
 * response packet at a time, and the kernel holds little more for it.
 *
 * One thread serves every client, in one ppoll loop whose timeout is the
 * nearest of the clients' deadlines; the clients' sockets are watched
 * through one epoll set, so that a wakeup costs the same however many
 * connections sit idle. A listing is pulled from libkelvane piece by piece
 * as the response packets are built, never kept whole, so memory stays
 * flat however large the folder. It is opened non-blocking: while a folder
 * on a slow file system has nothing ready, its request is suspended and
 * the listing's descriptor takes the client's place in the poll loop, so
 * that the other clients are served meanwhile.
 */
#define _GNU_SOURCE /* accept4, ppoll */

#include "obex_session.h"

#include <kelvane.h>

#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <locale.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define NANOSECONDS 1000000000

/* The limits, times in nanoseconds of CLOCK_MONOTONIC. */
struct limits {
    int64_t idle, packet, send;
    unsigned max_clients, max_per_address;
};

struct client {
    struct session *session;
    int socket;
    uint32_t address;       /* IPv4, in network order */
    bool gone;              /* the client closed the connection, or it broke */
    enum session_turn turn; /* as last seen, with the progress: the clock */
    uint32_t progress;      /* restarts when either changes */
    int64_t since;
    uint32_t watched; /* the events its socket is watched for */
};

/* The server in its loop. The clients' sockets are watched through one
 * epoll set, itself watched by ppoll: ppoll alone would visit every
 * connection, idle ones included, at every wakeup, and 100 idle
 * connections made a client's listing half as slow again. */
struct server {
    int listener;
    int sockets; /* the epoll set of the clients' sockets */
    const struct limits *limits;
    struct folder_service *service;
    struct client **clients; /* each apart, where the epoll set points */
    unsigned count;
    /* What ppoll watches: the listener, the socket set, then the listings
     * awaited, each with its client in `awaiting`. */
    struct pollfd *watched;
    struct client **awaiting;
};

/* Connections taken when the listening socket is readable: enough to empty
 * it under a flood, few enough that the clients served are not kept
 * waiting for long. */
#define ACCEPTS_PER_ROUND 64
/* Steps (a packet read or a response sent) one client is served at a time,
 * so that a fast one can't hold the loop. */
#define STEPS_PER_ROUND 16
/* Ready sockets taken from the epoll set at a time; the others stay ready
 * for the next round. */
#define READY_PER_ROUND 64

static volatile sig_atomic_t stopping;

static void stop(int signal_number) {
    (void)signal_number;
    stopping = 1;
}

static int64_t monotonic_now(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * NANOSECONDS + now.tv_nsec;
}

/* How long a client may stay in the turn its session is in. */
static int64_t time_allowed(enum session_turn turn, const struct limits *limits) {
    switch (turn) {
    case SESSION_IN_PACKET: return limits->packet;
    case SESSION_SENDING: return limits->send;
    case SESSION_OVER: return 0;
    default: return limits->idle; /* its next request, or its listing */
    }
}

static int64_t deadline_of(const struct client *client, const struct limits *limits) {
    return client->since + time_allowed(client->turn, limits);
}

/* Restarts the client's clock when its session has moved on. */
static void note_step(struct client *client, int64_t now) {
    enum session_turn turn = session_turn(client->session);
    uint32_t progress = session_progress(client->session);
    if (turn != client->turn || progress != client->progress) {
        client->turn = turn;
        client->progress = progress;
        client->since = now;
    }
}

/* The events a client's socket is watched for in its turn: none while its
 * listing is awaited, but for a hangup or an error, which epoll always
 * reports. */
static uint32_t socket_events(enum session_turn turn) {
    switch (turn) {
    case SESSION_AWAITS_PACKET:
    case SESSION_IN_PACKET: return EPOLLIN;
    case SESSION_SENDING: return EPOLLOUT;
    default: return 0;
    }
}

static void watch_socket(int sockets, struct client *client) {
    uint32_t events = socket_events(client->turn);
    if (events == client->watched)
        return;
    struct epoll_event change = {.events = events, .data.ptr = client};
    epoll_ctl(sockets, EPOLL_CTL_MOD, client->socket, &change);
    client->watched = events;
}

/* Moves the bytes between the client's socket and its session, until one
 * would wait. */
static void move_bytes(struct client *client) {
    for (int step = 0; step < STEPS_PER_ROUND && !client->gone; step++) {
        const uint8_t *output;
        size_t pending = session_output(client->session, &output);
        if (pending > 0) {
            ssize_t sent = send(client->socket, output, pending, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0) {
                client->gone = errno != EAGAIN && errno != EINTR;
                return;
            }
            session_sent(client->session, (size_t)sent);
            continue;
        }
        uint8_t *space;
        size_t wanted = session_input_space(client->session, &space);
        if (wanted == 0)
            return;
        ssize_t got = recv(client->socket, space, wanted, MSG_DONTWAIT);
        if (got <= 0) {
            client->gone = got == 0 || (errno != EAGAIN && errno != EINTR);
            return;
        }
        session_received(client->session, (size_t)got);
    }
}

static void serve(struct client *client) {
    if (client->gone)
        return;
    if (session_turn(client->session) == SESSION_LISTING)
        session_listing_ready(client->session);
    move_bytes(client);
    const char *path;
    int failure = session_failure(client->session, &path);
    if (failure)
        fprintf(stderr, "%s: %s\n", path, strerror(-failure));
}

/* Closes a connection. One whose client would not take what it was sent
 * is reset, so that the kernel drops the unsent bytes at once instead of
 * holding them for a client that may never read. */
static void close_connection(int socket, bool reset) {
    if (reset) {
        struct linger abort_at_once = {.l_onoff = 1, .l_linger = 0};
        setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort_at_once, sizeof abort_at_once);
    }
    close(socket); /* which takes it out of the epoll set */
}

static void drop_client(struct client *client) {
    close_connection(client->socket, client->turn == SESSION_SENDING && !client->gone);
    session_end(client->session);
    free(client);
}

static unsigned sessions_from(const struct server *server, uint32_t address) {
    unsigned from = 0;
    for (unsigned i = 0; i < server->count; i++)
        from += server->clients[i]->address == address;
    return from;
}

/* A descriptor kept free for the moment the process has no other: with it
 * a connection can still be accepted, and so closed at once, instead of
 * staying in the backlog and waking the loop for ever. */
static int spare_descriptor = -1;

static int accept_connection(int listener, struct sockaddr_in *peer) {
    socklen_t length = sizeof *peer;
    int flags = SOCK_CLOEXEC | SOCK_NONBLOCK;
    int socket = accept4(listener, (struct sockaddr *)peer, &length, flags);
    if (socket >= 0 || (errno != EMFILE && errno != ENFILE) || spare_descriptor < 0)
        return socket < 0 ? -errno : socket;
    close(spare_descriptor);
    socket = accept4(listener, (struct sockaddr *)peer, &length, flags);
    if (socket >= 0)
        close(socket);
    spare_descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return -EMFILE;
}

/* Makes a client of a connection just accepted. Gives 0 or -errno. */
static int add_client(struct server *server, int socket, uint32_t address, int64_t now) {
    /* The kernel holds about two of the largest response packets for a
     * client (it doubles the size given): a client takes one at a time,
     * and one that stops reading can't make it hold more. */
    int send_buffer = 65536;
    setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    struct client *client = calloc(1, sizeof *client);
    if (!client)
        return -ENOMEM;
    *client = (struct client){.socket = socket, .address = address, .since = now};
    int result = session_start(&client->session, server->service);
    if (result == 0) {
        client->turn = session_turn(client->session);
        client->watched = socket_events(client->turn);
        struct epoll_event watch = {.events = client->watched, .data.ptr = client};
        if (epoll_ctl(server->sockets, EPOLL_CTL_ADD, socket, &watch) == 0) {
            server->clients[server->count++] = client;
            return 0;
        }
        result = -errno;
        session_end(client->session);
    }
    free(client);
    return result;
}

/* Takes the connections waiting on the listener: each becomes a client,
 * or, beyond the limits, is closed at once. */
static void accept_clients(struct server *server, int64_t now) {
    const struct limits *limits = server->limits;
    for (int taken = 0; taken < ACCEPTS_PER_ROUND; taken++) {
        struct sockaddr_in peer = {0};
        int socket = accept_connection(server->listener, &peer);
        if (socket == -EAGAIN || socket == -EWOULDBLOCK)
            break;
        if (socket == -EMFILE) {
            fputs("a client refused: out of file descriptors\n", stderr);
            continue;
        }
        if (socket < 0) /* one that went before it was taken, or a signal */
            continue;
        uint32_t address = peer.sin_addr.s_addr;
        if (server->count >= limits->max_clients ||
            sessions_from(server, address) >= limits->max_per_address) {
            close(socket);
            continue;
        }
        int added = add_client(server, socket, address, now);
        if (added < 0) {
            fprintf(stderr, "cannot take a client: %s\n", strerror(-added));
            close(socket);
        }
    }
}

/* Fills what ppoll watches, and gives how many, with in `nearest` the
 * nearest deadline among the clients (INT64_MAX for none). */
static nfds_t watch(struct server *server, int64_t *nearest) {
    server->watched[0] = (struct pollfd){.fd = server->listener, .events = POLLIN};
    server->watched[1] = (struct pollfd){.fd = server->sockets, .events = POLLIN};
    nfds_t count = 2;
    *nearest = INT64_MAX;
    for (unsigned i = 0; i < server->count; i++) {
        struct client *client = server->clients[i];
        if (client->turn == SESSION_LISTING) {
            server->awaiting[count] = client;
            server->watched[count++] = (struct pollfd){
                .fd = session_listing_fd(client->session), .events = POLLIN};
        }
        int64_t deadline = deadline_of(client, server->limits);
        if (deadline < *nearest)
            *nearest = deadline;
    }
    return count;
}

/* Serves the clients whose sockets are ready. One whose socket hangs up
 * while its listing is awaited is gone. */
static void serve_ready_sockets(struct server *server) {
    struct epoll_event ready[READY_PER_ROUND];
    int count = epoll_wait(server->sockets, ready, READY_PER_ROUND, 0);
    for (int i = 0; i < count; i++) {
        struct client *client = ready[i].data.ptr;
        if (client->turn == SESSION_LISTING)
            client->gone = true;
        else
            serve(client);
    }
}

/* Notes where each client has come to, and lets go of those that are done
 * or past their deadline. Gives whether any was let go. */
static bool settle_clients(struct server *server, int64_t now) {
    bool one_left = false;
    for (unsigned i = 0; i < server->count;) {
        struct client *client = server->clients[i];
        note_step(client, now);
        if (client->gone || client->turn == SESSION_OVER ||
            now >= deadline_of(client, server->limits)) {
            drop_client(client);
            server->clients[i] = server->clients[--server->count];
            one_left = true;
        } else {
            watch_socket(server->sockets, client);
            i++;
        }
    }
    return one_left;
}

/* Gives a socket listening on 127.0.0.1:*port, the port the system chose
 * when it was 0, or -1 after saying why not. */
static int listen_on(unsigned *port) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int reuse = 1;
    struct sockaddr_in address = {.sin_family = AF_INET,
                                  .sin_port = htons((uint16_t)*port),
                                  .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t length = sizeof address;
    if (listener < 0 ||
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
        bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
        listen(listener, 64) != 0 ||
        getsockname(listener, (struct sockaddr *)&address, &length) != 0) {
        fprintf(stderr, "127.0.0.1 port %u: %s\n", *port, strerror(errno));
        if (listener >= 0)
            close(listener);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return listener;
}

/* Serves until SIGINT or SIGTERM, or with `once` until the first client
 * served has gone. Gives 0, or -errno when the loop can't go on. */
static int serve_clients(struct server *server, bool once, const sigset_t *while_waiting) {
    int result = 0;
    bool a_client_left = false;
    while (!stopping && !(once && a_client_left)) {
        /* No deadline, no timeout: with no client, the loop sleeps until
         * one comes or a signal ends it. */
        int64_t nearest;
        nfds_t count = watch(server, &nearest);
        int64_t wait = nearest == INT64_MAX ? 0 : nearest - monotonic_now();
        struct timespec timeout = {.tv_sec = wait > 0 ? (time_t)(wait / NANOSECONDS) : 0,
                                   .tv_nsec = wait > 0 ? (long)(wait % NANOSECONDS) : 0};
        if (ppoll(server->watched, count, nearest == INT64_MAX ? NULL : &timeout,
                  while_waiting) < 0 &&
            errno != EINTR) {
            result = -errno;
            break;
        }
        int64_t now = monotonic_now();
        if (server->watched[1].revents)
            serve_ready_sockets(server);
        for (nfds_t i = 2; i < count; i++)
            if (server->watched[i].revents)
                serve(server->awaiting[i]);
        if (settle_clients(server, now))
            a_client_left = true;
        if (server->watched[0].revents)
            accept_clients(server, now);
    }
    for (unsigned i = 0; i < server->count; i++)
        drop_client(server->clients[i]);
    server->count = 0;
    return result;
}

/* Sets up the server's loop on `listener`, says `port` once it is ready,
 * and runs it. Gives 0 or -errno. */
static int run_server(int listener, unsigned port, const struct limits *limits,
                      struct folder_service *service, bool once,
                      const sigset_t *while_waiting) {
    struct server server = {.listener = listener,
                            .sockets = epoll_create1(EPOLL_CLOEXEC),
                            .limits = limits,
                            .service = service,
                            .clients = calloc(limits->max_clients, sizeof(struct client *)),
                            .watched = calloc((size_t)limits->max_clients + 2,
                                              sizeof(struct pollfd)),
                            .awaiting = calloc((size_t)limits->max_clients + 2,
                                               sizeof(struct client *))};
    int result = server.sockets < 0 ? -errno : -ENOMEM;
    if (server.sockets >= 0 && server.clients && server.watched && server.awaiting) {
        printf("%u\n", port);
        fflush(stdout);
        result = serve_clients(&server, once, while_waiting);
    }
    if (server.sockets >= 0)
        close(server.sockets);
    free(server.clients);
    free(server.watched);
    free(server.awaiting);
    return result;
}

static int usage(void) {
    fputs("usage: obex_folder_server [--port=N] [--once] [--idle-timeout=SECONDS]\n"
          "         [--packet-timeout=SECONDS] [--send-timeout=SECONDS] [--max-clients=N]\n"
          "         [--max-per-address=N] [-P] [-H] [-t] [-p] [-o] [-g] DIR\n",
          stderr);
    return 1;
}

/* The number after "NAME=" in `arg`, from `min` to `max`: 1 when read
 * into `value`, 0 when `arg` is another option, -1 when the number is not
 * one of those. */
static int number_option(const char *arg, const char *name, unsigned long min,
                         unsigned long max, unsigned long *value) {
    size_t length = strlen(name);
    if (strncmp(arg, name, length) != 0 || arg[length] != '=')
        return 0;
    const char *digits = arg + length + 1;
    char *end;
    errno = 0;
    unsigned long number = strtoul(digits, &end, 10);
    if (digits[0] < '0' || digits[0] > '9' || *end || errno || number < min || number > max)
        return -1;
    *value = number;
    return 1;
}

/* Most seconds a time limit takes: eleven days, far from any overflow. */
#define MOST_SECONDS 1000000
/* Most sessions: each holds a socket, and may hold a listing. */
#define MOST_CLIENTS 65536

int main(int argc, char **argv) {
    static const char letters[] = "PHtpog";
    static const unsigned letter_flags[] = {SHOW_PARENT, SHOW_HIDDEN, SHOW_TIMES,
                                            SHOW_PERMS,  SHOW_OWNER,  SHOW_GROUP};
    unsigned long port = 650, idle = 60, packet = 10, send = 30, max_clients = 64,
                  max_per_address = 16;
    bool once = false;
    const char *folder = NULL;
    struct folder_service service = {.served = -1};
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *letter = arg[0] == '-' && arg[1] && !arg[2] ? strchr(letters, arg[1]) : NULL;
        int taken;
        if ((taken = number_option(arg, "--port", 0, 65535, &port)) ||
            (taken = number_option(arg, "--idle-timeout", 1, MOST_SECONDS, &idle)) ||
            (taken = number_option(arg, "--packet-timeout", 1, MOST_SECONDS, &packet)) ||
            (taken = number_option(arg, "--send-timeout", 1, MOST_SECONDS, &send)) ||
            (taken = number_option(arg, "--max-clients", 1, MOST_CLIENTS, &max_clients)) ||
            (taken = number_option(arg, "--max-per-address", 1, MOST_CLIENTS,
                                   &max_per_address))) {
            if (taken < 0)
                return usage();
        } else if (strcmp(arg, "--once") == 0) {
            once = true;
        } else if (letter) {
            service.listing_flags |= letter_flags[letter - letters];
        } else if (arg[0] != '-' && !folder) {
            folder = arg;
        } else {
            return usage();
        }
    }
    if (!folder)
        return usage();
    const struct limits limits = {.idle = (int64_t)idle * NANOSECONDS,
                                  .packet = (int64_t)packet * NANOSECONDS,
                                  .send = (int64_t)send * NANOSECONDS,
                                  .max_clients = (unsigned)max_clients,
                                  .max_per_address = (unsigned)max_per_address};

    /* The listing's character set follows the locale, as kelvane's does. */
    setlocale(LC_ALL, "");
    service.served = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (service.served < 0) {
        fprintf(stderr, "%s: %s\n", folder, strerror(errno));
        return 1;
    }
    service.from_utf16 = iconv_open("UTF-8", "UTF-16BE");
    if (service.from_utf16 == (iconv_t)-1) {
        perror("iconv_open");
        return 1;
    }
    unsigned listening_port = (unsigned)port;
    int listener = listen_on(&listening_port);
    if (listener < 0)
        return 1;
    spare_descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);

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

    int result = run_server(listener, listening_port, &limits, &service, once, &while_waiting);
    if (result < 0)
        fprintf(stderr, "cannot serve: %s\n", strerror(-result));
    close(listener);
    if (spare_descriptor >= 0)
        close(spare_descriptor);
    iconv_close(service.from_utf16);
    close(service.served);
    return result < 0;
}
