/* SPDX-FileCopyrightText: 2026 the kelvane developers */
/* SPDX-License-Identifier: MIT */

/*
 * One client's session of the OBEX folder server (obex_folder_server.c),
 * apart from its socket: the client's bytes go in, the response's bytes
 * come out, and libopenobex, on a custom transport, parses the requests and
 * builds the responses between. The server's poll loop moves the bytes
 * between a session and its socket and keeps the time limits; the fuzz
 * target (tests/fuzz/obex_session_fuzz.cc) moves them from and to memory.
 *
 * Nothing the client sends reaches libopenobex unchecked: a session takes
 * one packet at a time, no more bytes than its length field announces, and
 * hands it over only once obex_packet_framing has passed it whole. A
 * session holds at most one request packet and one response packet.
 */
#ifndef OBEX_SESSION_H
#define OBEX_SESSION_H

#include <iconv.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The largest request packet taken, offered to each client at CONNECT:
 * requests to browse are small, and PUT is refused at its first packet. */
#define OBEX_REQUEST_MTU 4096

/* What every session serves: the folder, and how listings are written. */
struct folder_service {
    int served;               /* DIR, the root of every path */
    unsigned listing_flags;   /* kelvane's flags for the listings */
    iconv_t from_utf16;       /* names from requests, UTF-16BE into UTF-8 */
    uint32_t last_connection; /* the connection id given last */
};

/* What a session waits for. */
enum session_turn {
    SESSION_AWAITS_PACKET, /* the client's next packet, none of it come yet */
    SESSION_IN_PACKET,     /* the rest of a packet begun */
    SESSION_SENDING,       /* the client to take a response packet */
    SESSION_LISTING,       /* its listing's next piece (session_listing_fd) */
    SESSION_OVER,          /* nothing: its connection is to be closed */
};

struct session;

/* Checks the framing of the packet whose first `size` bytes are at `bytes`,
 * before any of it reaches libopenobex: its length at least 3 and at most
 * `mtu`; CONNECT, DISCONNECT and SETPATH whole, with the final bit; the
 * fields that lead CONNECT and SETPATH there, and CONNECT's packet size at
 * least the smallest OBEX allows; each header within the packet, those
 * that carry a length giving at least 3, and a body in a PUT only. Gives
 * the packet's length, once its length field has come (3 before), which
 * is more than `size` while the rest is to come; or -EBADMSG as soon as
 * what has come can't begin a packet that passes. */
int obex_packet_framing(const uint8_t *bytes, size_t size, size_t mtu);

/* A new session of `service`, for a client that has just connected. Gives
 * 0, or -ENOMEM (or another negated errno) when libopenobex can't start. */
int session_start(struct session **session, struct folder_service *service);

/* Ends a session at once, however far it had come: its listing or file is
 * released with it. */
void session_end(struct session *session);

enum session_turn session_turn(const struct session *session);

/* A count that goes up each time a whole packet comes in or a whole
 * response packet has gone out: the time limits run from the last step. */
uint32_t session_progress(const struct session *session);

/* Where the client's next bytes go, and how many the session takes now: at
 * most the rest of the packet begun; 0 unless it awaits the client. */
size_t session_input_space(struct session *session, uint8_t **space);

/* `count` bytes have come into the space given. A packet that fails its
 * framing is answered Bad Request, and the session is over once that is
 * sent. */
void session_received(struct session *session, size_t count);

/* The bytes to send the client now, and how many; 0 for none. */
size_t session_output(const struct session *session, const uint8_t **bytes);

/* The client took `count` of the bytes to send. */
void session_sent(struct session *session, size_t count);

/* The descriptor of the listing awaited, readable when its next piece is
 * ready (SESSION_LISTING); -1 otherwise. */
int session_listing_fd(const struct session *session);

/* The listing's descriptor was readable: the response goes on. */
void session_listing_ready(struct session *session);

/* A failure met while the response was already under way, and so one the
 * response can no longer tell: the negated errno and the path it concerns,
 * which stays valid until the session's next call; 0 when none, or when
 * it has been given already. */
int session_failure(struct session *session, const char **path);

#ifdef __cplusplus
}
#endif

#endif
