// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// OBEX clients made of raw sockets, for the OBEX server's hostile-clients
// test and its benchmark: connections from chosen loopback addresses
// (127.0.0.2 and up: the whole of 127/8 is this machine's), the packets
// they send, and the ways they misbehave.
#ifndef KELVANE_TESTS_RAW_OBEX_H
#define KELVANE_TESTS_RAW_OBEX_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace raw_obex {

using bytes = std::vector<std::uint8_t>;

// The address of attacker `index`, one of `addresses` taken in turn from
// 127.0.0.2.
inline std::string attacker_address(int index, int addresses) {
    return "127.0.0." + std::to_string(2 + index % addresses);
}

// A connection to the server on 127.0.0.1:`port` from `source`, with a
// receive buffer of `receive_buffer` bytes when not 0 (set before the
// connection, so that the window offered stays that small); -1 when it
// could not be made.
inline int connect_from(const std::string &source, const std::string &port,
                        int receive_buffer = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
        (receive_buffer && setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer,
                                      sizeof receive_buffer) != 0) ||
        bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

inline bool send_all(int fd, const bytes &data) {
    for (std::size_t sent = 0; sent < data.size();) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// A packet of `opcode` holding `rest`, its length field true.
inline bytes packet(std::uint8_t opcode, const bytes &rest) {
    const std::size_t length = 3 + rest.size();
    bytes data(length);
    data[0] = opcode;
    data[1] = static_cast<std::uint8_t>(length >> 8);
    data[2] = static_cast<std::uint8_t>(length & 0xff);
    std::copy(rest.begin(), rest.end(), data.begin() + 3);
    return data;
}

// A header carrying its length: `id` and `value`.
inline bytes header(std::uint8_t id, const bytes &value) {
    return packet(id, value);
}

inline bytes join(bytes a, const bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// CONNECT to the folder-browsing service, for response packets of at most
// `largest_packet` bytes.
inline bytes connect_request(std::uint16_t largest_packet) {
    const bytes target{0xF9, 0xEC, 0x7B, 0xC4, 0x95, 0x3C, 0x11, 0xD2,
                       0x98, 0x4E, 0x52, 0x54, 0x00, 0xDC, 0x9E, 0x09};
    return packet(0x80, join({0x10, 0x00, static_cast<std::uint8_t>(largest_packet >> 8),
                              static_cast<std::uint8_t>(largest_packet & 0xff)},
                             header(0x46, target)));
}

// The Name header for `name`, its bytes taken for ASCII (a NUL among them
// included), in UTF-16 with its terminating null.
inline bytes name_header(const std::string &name) {
    bytes value;
    for (const char c : name)
        value.insert(value.end(), {0x00, static_cast<std::uint8_t>(c)});
    value.insert(value.end(), {0x00, 0x00});
    return header(0x01, value);
}

// GET of the listing of `folder` in the current folder.
inline bytes get_listing_request(const std::string &folder) {
    const std::string type = "x-obex/folder-listing";
    bytes type_value(type.begin(), type.end());
    type_value.push_back(0);
    return packet(0x83, join(name_header(folder), header(0x42, type_value)));
}

// GET of the file `name` in the current folder.
inline bytes get_file_request(const std::string &name) {
    return packet(0x83, name_header(name));
}

// The GET that asks for a response's next packet: no headers. (Spelled
// out: GCC 12 takes packet() of nothing for a copy past the vector's end.)
inline bytes get_more_request() {
    return {0x83, 0x00, 0x03};
}

// A reader that stalls: it asks for the listing of `folder` in packets as
// large as OBEX allows, asks ahead for `ahead` more, and never reads.
// The connection should have a small receive buffer, so that the server's
// responses soon fill it.
inline bytes stalled_listing_requests(const std::string &folder, int ahead) {
    bytes data = join(connect_request(0xffff), get_listing_request(folder));
    for (int i = 0; i < ahead; i++)
        data = join(data, get_more_request());
    return data;
}

} // namespace raw_obex

#endif
