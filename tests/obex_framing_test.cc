// SPDX-FileCopyrightText: 2026 the kelvane developers
// SPDX-License-Identifier: MIT

// The OBEX server's framing check (obex_packet_framing in
// examples/obex_session.c), which every request packet passes before
// libopenobex parses it: packets that fit, packets still coming, each way
// a length can lie, requests that should come whole and don't, and bodies
// where none belongs.
#include <cerrno>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "obex_session.h"

namespace {

constexpr std::size_t mtu = 4096;

// A packet of `opcode` whose length field says `length`, followed by `rest`.
std::vector<std::uint8_t> packet(std::uint8_t opcode, std::size_t length,
                                 const std::vector<std::uint8_t> &rest = {}) {
    std::vector<std::uint8_t> bytes{opcode, static_cast<std::uint8_t>(length >> 8),
                                    static_cast<std::uint8_t>(length & 0xff)};
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    return bytes;
}

// A whole packet of `opcode` holding `rest`, its length field true.
std::vector<std::uint8_t> whole(std::uint8_t opcode,
                                const std::vector<std::uint8_t> &rest) {
    return packet(opcode, 3 + rest.size(), rest);
}

int framing(const std::vector<std::uint8_t> &bytes) {
    return obex_packet_framing(bytes.data(), bytes.size(), mtu);
}

constexpr std::uint8_t get = 0x83, put = 0x02, connect = 0x80, setpath = 0x85,
                       abort_ = 0xff;
// A Name header holding "a" (UTF-16, with its null), a Connection id, and
// the Single Response Mode header, of one byte.
const std::vector<std::uint8_t> name{0x01, 0x00, 0x07, 0x00, 'a', 0x00, 0x00};
const std::vector<std::uint8_t> connection{0xcb, 0x00, 0x00, 0x00, 0x01};
const std::vector<std::uint8_t> srm{0x97, 0x01};
// CONNECT's version, flags and largest packet (1 KiB).
const std::vector<std::uint8_t> connect_fields{0x10, 0x00, 0x04, 0x00};

// A Body header of `length` bytes, these 3 included.
std::vector<std::uint8_t> body(std::size_t length) {
    std::vector<std::uint8_t> header(length, 'x');
    header[0] = 0x48;
    header[1] = static_cast<std::uint8_t>(length >> 8);
    header[2] = static_cast<std::uint8_t>(length & 0xff);
    return header;
}

std::vector<std::uint8_t> join(std::vector<std::uint8_t> a,
                               const std::vector<std::uint8_t> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(ObexFraming, WholePacketsThatFitGiveTheirLength) {
    const struct {
        const char *what;
        std::vector<std::uint8_t> bytes;
    } rows[] = {
        {"a GET without headers", whole(get, {})},
        {"a GET that says more follows", whole(0x03, name)},
        {"an ABORT", whole(abort_, {})},
        {"a GET with a name, an id and a one-byte header",
         whole(get, join(join(name, connection), srm))},
        {"a CONNECT", whole(connect, connect_fields)},
        {"a CONNECT for the smallest packets allowed",
         whole(connect, {0x10, 0x00, 0x00, 0xff})},
        {"a SETPATH, up one", whole(setpath, {0x03, 0x00})},
        {"a PUT whose body fills the MTU", packet(put, mtu, body(mtu - 3))},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(framing(row.bytes), static_cast<int>(row.bytes.size()));
    }
    // Bytes past the packet belong to the next one, and are not looked at.
    EXPECT_EQ(framing(join(whole(get, name), {0x00, 0x00})), 10);
}

TEST(ObexFraming, PacketsStillComingAskForTheRest) {
    EXPECT_EQ(framing({}), 3);
    EXPECT_EQ(framing({get, 0x00}), 3);
    const std::vector<std::uint8_t> request = whole(get, name);
    for (std::size_t size = 3; size < request.size(); size++)
        EXPECT_EQ(obex_packet_framing(request.data(), size, mtu), 10) << size << " bytes";
    // Its headers are checked once it is whole, not before.
    EXPECT_EQ(framing(packet(get, 100, {0x01, 0x00, 0x01})), 100);
}

TEST(ObexFraming, LengthsThatLieAreRefused) {
    const struct {
        const char *what;
        std::vector<std::uint8_t> bytes;
    } rows[] = {
        {"a packet length of 0", packet(get, 0)},
        {"a packet length of 2", packet(get, 2, {0x00})},
        {"a packet length past the MTU", packet(put, mtu + 1)},
        {"the largest packet length", packet(put, 0xffff)},
        {"a header length of 0", whole(get, {0x01, 0x00, 0x00})},
        {"a header length of 2", whole(get, {0x42, 0x00, 0x02, 'x'})},
        {"a header past the packet's end", whole(get, {0x01, 0x00, 0x09, 0x00, 'a'})},
        {"a header length cut by the end", whole(get, {0x01, 0x00})},
        {"a four-byte header cut by the end", whole(get, {0xcb, 0x00, 0x00})},
        {"a one-byte header without its byte", whole(get, join(name, {0x97}))},
        {"a CONNECT without its fields", whole(connect, {0x10, 0x00})},
        {"a CONNECT for packets below 255 bytes",
         whole(connect, {0x10, 0x00, 0x00, 0x03})},
        // These come whole; libopenobex loses what it holds of a SETPATH
        // that says more follows.
        {"a CONNECT without its final bit", whole(0x00, connect_fields)},
        {"a SETPATH without its final bit", whole(0x05, {0x02, 0x00})},
        {"a SETPATH without its constants", whole(setpath, {0x03})},
        // libopenobex would keep the body of a request it answers for ever.
        {"a GET with a body", whole(get, body(6))},
        {"a SETPATH with an End-of-Body claiming four bytes",
         whole(setpath, {0x02, 0x00, 0xc9, 0x00, 0x00, 0x00, 0x01})},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(framing(row.bytes), -EBADMSG);
    }
}

} // namespace
