// The datagram transport: checksum, scrambling and serial rule on their own,
// then the endpoints over a UDP socket on 127.0.0.1 that sends to itself.
// Test frames are built here byte by byte, independently of the writer.
#include "network/system/net_dgram_io.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <tuple>
#include <vector>

#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Frames = std::vector<Bytes>;
using Io = std::tuple<uint32_t, uint32_t, uint32_t>;  // result, attempted, state()
using Ios = std::vector<Io>;
using E = DgramEndpoint;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A UDP socket on 127.0.0.1 (port chosen by the kernel) connected to itself.
// put() sends `bytes` and waits until a datagram can be read (10 s at most).
struct Udp {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    Udp() {
        auto* self = reinterpret_cast<sockaddr*>(&address);
        socklen_t size = sizeof address;
        const timeval limit = {10, 0};  // for the blocking recv calls below
        EXPECT_FALSE(bind(fd, self, size) || getsockname(fd, self, &size) ||
                     connect(fd, self, size) ||
                     setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit));
    }
    ~Udp() { close(fd); }
    void put(const Bytes& bytes) const {
        EXPECT_EQ(send(fd, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
        EXPECT_GE(recv(fd, nullptr, 0, MSG_PEEK), 0);  // blocks until it is there
    }
};

// One frame as a peer puts it on the wire; `crc_flip` spoils the checksum.
Bytes frame(uint16_t serial, const Bytes& payload, uint16_t crc_flip = 0) {
    const auto be16 = [](unsigned v) { return Bytes{uint8_t(v >> 8), uint8_t(v)}; };
    const unsigned crc = net_dgram_crc16(payload.data(), payload.size()) ^ crc_flip;
    return be16(crc) + be16(payload.size()) + be16(serial) + payload;
}

// One receive() or send() call: what it gave.
Io io(auto& endpoint) {
    uint32_t attempted = 7;
    if constexpr (requires { endpoint.receive(); })
        return {endpoint.receive(&attempted), attempted, endpoint.state()};
    else
        return {endpoint.send(&attempted), attempted, endpoint.state()};
}

// Puts `datagram` in the socket, has the reader append it and hand out
// frames until next_frame gives 0.
Frames pass(DgramFrameReader& reader, const Udp& socket, const Bytes& datagram) {
    socket.put(datagram);
    EXPECT_EQ(reader.receive(), datagram.size());
    Frames frames;
    uint8_t payload[DGRAM_MAX];
    for (uint32_t length = 0; reader.next_frame(payload, &length) == 1;)
        frames.emplace_back(payload, payload + length);
    return frames;
}

// CRC-16/GENIBUS a bit at a time, as its definition reads.
uint16_t crc16_bitwise(const uint8_t* data, size_t length) {
    uint32_t reg = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        reg ^= static_cast<uint32_t>(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x8000) ? (reg << 1) ^ 0x1021 : reg << 1;
    }
    return static_cast<uint16_t>(~reg);
}

TEST(DgramTransport, WithoutSockets) {
    EXPECT_EQ(net_dgram_crc16(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xD64E);
    EXPECT_EQ(net_dgram_crc16(reinterpret_cast<const uint8_t*>("abc"), 3), 0xAEB5);
    EXPECT_EQ(net_dgram_crc16(nullptr, 0), 0);
    // Every length through each way of computing it (tables, eight bytes at
    // a time, carry-less folds of 16 and 64 bytes), at every alignment.
    Bytes noise(1200);
    uint32_t x = 1;
    for (auto& byte : noise)
        byte = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 23);
    for (uint32_t length = 0; length <= 1100; ++length) {
        const uint8_t* at = noise.data() + length % 7;
        ASSERT_EQ(net_dgram_crc16(at, length), crc16_bitwise(at, length)) << length;
    }
    const Bytes ones(DGRAM_MAX, 0xFF);
    EXPECT_EQ(net_dgram_crc16(ones.data(), DGRAM_MAX), crc16_bitwise(ones.data(), DGRAM_MAX));
    const auto& k = net_dgram_key;  // pinned for peers that rebuild it
    EXPECT_EQ(std::make_tuple(k[0], k[1], k[2], k[3], net_dgram_crc16(k.data(), kDgramKeySize)),
              std::make_tuple(0x2B, 0x94, 0x7B, 0x77, 0x883F));
    // The key position starts at the run's length and wraps; a second pass
    // undoes the first.
    Bytes run(1024, 0);
    net_dgram_scramble(run.data(), run.data(), 1023);
    EXPECT_EQ(Bytes({run[0], run[1], run[1022], run[1023]}), Bytes({k[1023], k[0], k[1021], 0}));
    net_dgram_scramble(run.data(), run.data(), 1023);
    EXPECT_EQ(run, Bytes(1024, 0));
    // Newer: ahead by 1 to 16383, or behind by 16385 or more.
    const std::tuple<uint16_t, uint16_t, bool> serials[] = {
        {1, 0, true},        {16383, 0, true},     {16384, 0, false},     {99, 100, false},
        {3615, 20000, true}, {3616, 20000, false}, {36383, 20000, true},  {36384, 20000, false},
        {0, 65535, true},    {49150, 65535, true}, {49151, 65535, false}, {65535, 65535, false}};
    for (const auto& [serial, last, newer] : serials)
        EXPECT_EQ(net_dgram_serial_newer(serial, last), newer) << serial << " after " << last;

    // The frame writer's queue: 65,000 bytes held take 530 more, not 531.
    DgramFrameWriter writer;
    const Bytes payload(70000, 0x5A);
    EXPECT_EQ(writer.write_frame(payload.data(), kDgramPayloadMax + 1), 0);  // fits no datagram
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(writer.write_frame(payload.data(), 1294), 1);
    EXPECT_EQ(writer.write_frame(payload.data(), 531), 0);
    EXPECT_EQ(writer.next_serial(), 51);  // a refused frame uses no serial
    EXPECT_EQ(writer.write_frame(payload.data(), 530), 1);
}

TEST(DgramTransport, OverLoopbackUdp) {
    Udp socket;
    DgramFrameReader reader;
    DgramReader raw_reader;
    EXPECT_EQ(reader.open(-1, 0, 0) + raw_reader.open(-1), 0);
    ASSERT_EQ(reader.open(socket.fd, 0, 1), 1);  // serials checked
    socket.put(Bytes(DGRAM_MAX, 1));             // read by the second call after open
    EXPECT_EQ(Ios({io(reader), io(reader)}), Ios({{0, 0, E::Idle}, {DGRAM_MAX, 1, E::Active}}));
    socket.put(Bytes(DGRAM_MAX + 1, 2));
    EXPECT_EQ(io(reader), Io(0, 1, E::Active));  // too long: dropped

    // Under seven bytes wait; so does an empty frame until a byte follows it.
    // A bad CRC costs its own frame; a length past the bytes held, all held
    // (else frame 9 would come with the next datagram).
    reader.reset();
    const Bytes abc = frame(1, {'a', 'b', 'c'}), long_one = frame(8, Bytes(100, 4));
    const std::pair<Bytes, Frames> steps[] = {
        {Bytes(abc.begin(), abc.begin() + 6), {}},
        {Bytes(abc.begin() + 6, abc.end()) + frame(2, {}), {{'a', 'b', 'c'}}},
        {frame(3, {'z'}), {{}, {'z'}}},
        {frame(4, {1}) + frame(5, {2}, 1) + frame(6, {3}), {{1}, {3}}},
        {frame(7, {5}) + Bytes(long_one.begin(), long_one.begin() + 26) + frame(9, {6}), {{5}}},
        // While checked, serials not newer than the last delivered (7) go: a
        // repeat, a fall, a jump too far.
        {frame(7, {1}) + frame(9, {2}) + frame(8, {3}) + frame(20000, {4}), {{2}}},
    };
    for (const auto& [datagram, frames] : steps)
        EXPECT_EQ(pass(reader, socket, datagram), frames);

    // A failing recv shows as Failed on the next call; a new open recovers,
    // here with serials ignored.
    testing::internal::CaptureStderr();
    reader.open(-2, 0, 0), reader.receive();  // only -1 is refused; the first call steps
    EXPECT_EQ(Ios({io(reader), io(reader)}), Ios({{0, 1, E::Active}, {0, 0, E::Failed}}));
    EXPECT_EQ(count_of(testing::internal::GetCapturedStderr(), "Bad file descriptor"), 1);
    ASSERT_EQ(reader.open(socket.fd, 0, 0), 1);
    EXPECT_EQ(Ios({io(reader), io(reader)}), Ios({{0, 0, E::Idle}, {0, 1, E::Active}}));
    EXPECT_EQ(pass(reader, socket, steps[5].first), Frames({{1}, {2}, {3}, {4}}));

    // Room for a whole datagram is needed: with 64,130 bytes held a receive
    // still reads, and an append still takes; with 64,131 neither does.
    for (reader.reset(); reader.fill() < 64130; reader.receive())
        socket.put(Bytes(1166, 0));
    socket.put({9});
    EXPECT_EQ(Ios({io(reader), io(reader)}), Ios({{1, 1, E::Active}, {0, 0, E::Active}}));
    reader.discard();
    const Bytes piece(1166, 0);
    for (int i = 0; i < 55; ++i)
        reader.append(piece.data(), piece.size());
    EXPECT_EQ(reader.append(piece.data(), 1) + reader.append(piece.data(), 1), 1u);

    // The raw writer sends its whole queue as one datagram; the raw reader
    // hands out bytes from the front.
    DgramWriter raw_writer;
    ASSERT_EQ(raw_writer.open(socket.fd, &socket.address) + raw_reader.open(socket.fd), 2);
    const Bytes data = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_EQ(raw_writer.write(data.data(), 3) + raw_writer.write(data.data() + 3, 7), 2);
    raw_writer.send(), raw_reader.receive();  // the first calls after open only step
    EXPECT_EQ(raw_writer.send(), 10u);
    EXPECT_GE(recv(socket.fd, nullptr, 0, MSG_PEEK), 0);  // blocks until it is there
    EXPECT_EQ(raw_reader.receive(), 10u);
    uint8_t out[8] = {};
    EXPECT_EQ(Bytes(out, out + raw_reader.read(out, 4)), Bytes({0, 1, 2, 3}));
    EXPECT_EQ(raw_reader.fill(), 6u);
    EXPECT_EQ(Bytes(out, out + raw_reader.read(out, 8)), Bytes({4, 5, 6, 7, 8, 9}));

    // Three 500-byte frames, scrambled: two to a datagram, then the third;
    // a longest frame fills one alone.
    DgramFrameWriter writer;
    Bytes plain(kDgramPayloadMax, 0x5A), scrambled(500), wire(1012);
    ASSERT_EQ(writer.open(socket.fd, 1, &socket.address), 1);
    for (uint32_t length : {500u, 500u, 500u, kDgramPayloadMax})
        ASSERT_EQ(writer.write_frame(plain.data(), length), 1);
    EXPECT_EQ(io(writer), Io(0, 0, E::Idle));  // the first call after open only steps
    EXPECT_EQ(
        Ios({io(writer), io(writer), io(writer), io(writer)}),
        Ios({{1012, 1, E::Active}, {506, 1, E::Active}, {1406, 1, E::Active}, {0, 0, E::Active}}));
    net_dgram_scramble(scrambled.data(), plain.data(), 500);
    EXPECT_EQ(recv(socket.fd, wire.data(), 1012, 0), 1012);
    EXPECT_EQ(wire, frame(1, scrambled) + frame(2, scrambled));
}

}  // namespace
