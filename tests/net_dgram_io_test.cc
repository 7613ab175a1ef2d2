// The datagram transport: checksum, scrambling and serial rule on their own,
// then the endpoints over real UDP sockets on 127.0.0.1 (ephemeral ports).
// Test frames are built here byte by byte, independently of the writer.
#include "network/system/net_dgram_io.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <tuple>
#include <vector>

#include "support/stderr_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Frames = std::vector<Bytes>;
// What one I/O call gave: its result, the attempted flag, then state().
using Io = std::tuple<uint32_t, uint32_t, uint32_t>;

constexpr uint32_t kIdle = DgramEndpoint::Idle, kActive = DgramEndpoint::Active,
                   kFailed = DgramEndpoint::Failed;
constexpr char kErrnoReport[] = "Error: network/system/net_dgram_io.cc(";

// Waits until a datagram is there, so that a non-blocking call finds it.
void wait_readable(int fd) {
    pollfd ready = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 10000), 1);
}

// A UDP socket bound to 127.0.0.1 on a port the kernel picks.
struct UdpSocket {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};

    UdpSocket() {
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size), 0);
    }
    ~UdpSocket() { close(fd); }

    // Sends to `to` and waits until the datagram is there to be read.
    void send_to(const UdpSocket& to, const Bytes& bytes) const {
        ASSERT_EQ(sendto(fd, bytes.data(), bytes.size(), 0,
                         reinterpret_cast<const sockaddr*>(&to.address), sizeof to.address),
                  static_cast<ssize_t>(bytes.size()));
        wait_readable(to.fd);
    }
    Bytes take() const {
        wait_readable(fd);
        Bytes bytes(70000);
        bytes.resize(std::max<ssize_t>(recv(fd, bytes.data(), bytes.size(), MSG_DONTWAIT), 0));
        return bytes;
    }
};

// One frame as a peer puts it on the wire; `crc_error` spoils the checksum.
Bytes frame(uint16_t serial, const Bytes& payload, bool crc_error = false) {
    const uint16_t crc = net_dgram_crc16(payload.data(), payload.size()) ^ (crc_error ? 1 : 0);
    Bytes out = {uint8_t(crc >> 8),       uint8_t(crc),         uint8_t(payload.size() >> 8),
                 uint8_t(payload.size()), uint8_t(serial >> 8), uint8_t(serial)};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

template <typename Endpoint>
Io receive_io(Endpoint& endpoint) {
    uint32_t attempted = 7;
    const uint32_t got = endpoint.receive(&attempted);
    return {got, attempted, endpoint.state()};
}

template <typename Endpoint>
Io send_io(Endpoint& endpoint) {
    uint32_t attempted = 7;
    const uint32_t sent = endpoint.send(&attempted);
    return {sent, attempted, endpoint.state()};
}

// Opens a frame reader and takes it through the first I/O call, which only
// requests Active, so that the next call reads.
template <typename Reader>
void open_reader(Reader& reader, const UdpSocket& socket, uint32_t check_serial = 0) {
    ASSERT_EQ(reader.open(socket.fd, 0, check_serial), 1);
    ASSERT_EQ(receive_io(reader), Io(0, 0, kIdle));
}

// Sends one datagram to the reader's socket and has the reader append it.
template <typename Reader>
void feed(Reader& reader, const UdpSocket& socket, const Bytes& datagram) {
    static const UdpSocket peer;
    peer.send_to(socket, datagram);
    ASSERT_EQ(reader.receive(), datagram.size());
}

// The payloads next_frame gives, until it gives 0.
Frames next_frames(DgramFrameReader& reader) {
    Frames frames;
    uint8_t payload[DGRAM_MAX];
    uint32_t length = 0;
    while (reader.next_frame(payload, &length) == 1)
        frames.emplace_back(payload, payload + length);
    return frames;
}

TEST(DgramChecksumAndScramble, KnownAnswers) {
    EXPECT_EQ(net_dgram_crc16(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xD64E);
    EXPECT_EQ(net_dgram_crc16(reinterpret_cast<const uint8_t*>("abc"), 3), 0xAEB5);
    EXPECT_EQ(net_dgram_crc16(nullptr, 0), 0);
    // Pins the key for peers that rebuild it from its generator.
    EXPECT_EQ(net_dgram_key[0], 0x2B);
    EXPECT_EQ(net_dgram_crc16(net_dgram_key.data(), kDgramKeySize), 0x883F);

    // The key position starts at the run's length: 1024 from byte 0, 5 from 5.
    const Bytes zeros(1024, 0);
    Bytes out(1024, 0xAA);
    net_dgram_scramble(out.data(), zeros.data(), 1024);
    EXPECT_EQ(out, Bytes(net_dgram_key.begin(), net_dgram_key.end()));
    net_dgram_scramble(out.data(), zeros.data(), 5);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 6),
              Bytes({net_dgram_key[5], net_dgram_key[6], net_dgram_key[7], net_dgram_key[8],
                     net_dgram_key[9], net_dgram_key[5]}));  // byte 5 untouched

    Bytes text(1500), work;
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = uint8_t(i * 7);
    work = text;
    net_dgram_scramble(work.data(), work.data(), 1500);
    EXPECT_NE(work, text);
    net_dgram_scramble(work.data(), work.data(), 1500);
    EXPECT_EQ(work, text);
}

TEST(DgramSerial, AcceptsOnlyTheWindowAhead) {
    EXPECT_TRUE(net_dgram_serial_newer(1, 0));
    EXPECT_TRUE(net_dgram_serial_newer(101, 100));
    EXPECT_TRUE(net_dgram_serial_newer(16483, 100));
    EXPECT_FALSE(net_dgram_serial_newer(100, 100));
    EXPECT_FALSE(net_dgram_serial_newer(16484, 100));
    for (uint16_t behind = 0; behind < 100; ++behind)
        EXPECT_FALSE(net_dgram_serial_newer(behind, 100)) << behind;
    EXPECT_TRUE(net_dgram_serial_newer(3615, 20000));
    EXPECT_FALSE(net_dgram_serial_newer(3616, 20000));
    EXPECT_TRUE(net_dgram_serial_newer(0, 65535));
}

TEST(DgramFrameWriter, RefusesFramesWithoutRoomOrTooLongForADatagram) {
    auto writer = std::make_unique<DgramFrameWriter>();
    const Bytes payload(70000, 0x5A);
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(writer->write_frame(payload.data(), 1294), 1);
    EXPECT_EQ(writer->write_frame(payload.data(), 531), 0);
    EXPECT_EQ(writer->fill(), 65000u);
    EXPECT_EQ(writer->next_serial(), 51);  // a refused frame uses no serial
    EXPECT_EQ(writer->write_frame(payload.data(), 530), 1);
    EXPECT_EQ(writer->fill(), 65536u);

    // A frame that no datagram can carry would block the queue for good.
    auto large = std::make_unique<DgramFrameWriterLarge>();
    EXPECT_EQ(large->write_frame(payload.data(), kDgramPayloadMax + 1), 0);
    EXPECT_EQ(large->write_frame(payload.data(), 70000), 0);
    EXPECT_EQ(large->fill(), 0u);
    EXPECT_EQ(large->write_frame(payload.data(), kDgramPayloadMax), 1);
    EXPECT_EQ(large->fill(), DGRAM_MAX);
}

TEST(DgramFrameReader, ReadsFromTheSecondCallAfterOpenAndDropsBadSizes) {
    UdpSocket socket, peer;
    auto reader = std::make_unique<DgramFrameReader>();
    peer.send_to(socket, Bytes(DGRAM_MAX, 1));
    // Never opened, or opened with -1: no socket call at all.
    EXPECT_EQ(receive_io(*reader), Io(0, 0, kIdle));
    EXPECT_EQ(reader->open(-1, 0, 0), 0);
    EXPECT_EQ(receive_io(*reader), Io(0, 0, kIdle));

    ASSERT_EQ(reader->open(socket.fd, 0, 0), 1);
    EXPECT_EQ(receive_io(*reader), Io(0, 0, kIdle));
    EXPECT_EQ(receive_io(*reader), Io(DGRAM_MAX, 1, kActive));  // taken whole
    for (const Bytes& dropped : {Bytes(DGRAM_MAX + 1, 2), Bytes()}) {
        peer.send_to(socket, dropped);
        EXPECT_EQ(receive_io(*reader), Io(0, 1, kActive));
        EXPECT_EQ(reader->fill(), DGRAM_MAX);
    }
    feed(*reader, socket, Bytes(10, 3));
    EXPECT_EQ(reader->fill(), DGRAM_MAX + 10);
}

// Holds capacity - DGRAM_MAX bytes, then one more, and offers a full
// datagram: it is read only while a whole DGRAM_MAX is free, and otherwise
// waits in the socket.
template <typename Reader>
void check_room_rule(uint32_t capacity) {
    UdpSocket socket, peer;
    auto reader = std::make_unique<Reader>();
    EXPECT_EQ(reader->capacity(), capacity);
    open_reader(*reader, socket);
    for (uint32_t held : {capacity - DGRAM_MAX, capacity - DGRAM_MAX + 1}) {
        reader->reset();
        while (reader->fill() < held)
            feed(*reader, socket, Bytes(std::min(DGRAM_MAX, held - reader->fill()), 0));
        peer.send_to(socket, Bytes(DGRAM_MAX, 9));
        const bool room = held == capacity - DGRAM_MAX;
        EXPECT_EQ(receive_io(*reader), Io(room ? DGRAM_MAX : 0, room, kActive)) << held;
    }
    reader->reset();
    EXPECT_EQ(reader->receive(), DGRAM_MAX);  // the datagram that waited
}

TEST(DgramFrameReader, ReadsOnlyWithRoomForAWholeDatagram) {
    check_room_rule<DgramFrameReader>(kDgramBufferSize);
    check_room_rule<DgramFrameReaderLarge>(kDgramLargeBufferSize);
}

TEST(DgramFrameReader, SocketFailureShowsAsFailedOnTheNextCall) {
    UdpSocket socket;
    auto reader = std::make_unique<DgramFrameReader>();
    StderrCapture capture;  // first, so that nothing reuses the closed number
    const int doomed = dup(socket.fd);
    ASSERT_EQ(reader->open(doomed, 0, 0), 1);
    reader->receive();
    close(doomed);
    EXPECT_EQ(receive_io(*reader), Io(0, 1, kActive));
    EXPECT_EQ(receive_io(*reader), Io(0, 0, kFailed));
    EXPECT_EQ(receive_io(*reader), Io(0, 0, kFailed));
    const std::string log = capture.text();
    EXPECT_EQ(count_of(log, kErrnoReport), 1) << log;
    EXPECT_EQ(count_of(log, "Bad file descriptor"), 1) << log;

    // Only a new open recovers, through Idle.
    open_reader(*reader, socket);
    feed(*reader, socket, Bytes(8, 1));
    EXPECT_EQ(reader->state(), kActive);
}

TEST(DgramFrameReader, NextFrameWaitsForBytesAndDropsBadFrames) {
    UdpSocket socket;
    auto reader = std::make_unique<DgramFrameReader>();
    open_reader(*reader, socket);
    // A header alone stays and joins the next datagram; an empty frame is
    // held back until a byte stands behind it.
    const Bytes whole = frame(1, {'a', 'b', 'c'});
    feed(*reader, socket, Bytes(whole.begin(), whole.begin() + 6));
    EXPECT_EQ(next_frames(*reader), Frames());
    EXPECT_EQ(reader->fill(), 6u);
    feed(*reader, socket, Bytes(whole.begin() + 6, whole.end()) + frame(2, {}));
    EXPECT_EQ(next_frames(*reader), Frames({{'a', 'b', 'c'}}));
    EXPECT_EQ(reader->fill(), 6u);
    feed(*reader, socket, frame(3, {'z'}));
    EXPECT_EQ(next_frames(*reader), Frames({{}, {'z'}}));

    // A bad CRC costs its own frame only.
    feed(*reader, socket, frame(4, {1, 1}) + frame(5, {2}, true) + frame(6, {3}));
    EXPECT_EQ(next_frames(*reader), Frames({{1, 1}, {3}}));
    EXPECT_EQ(reader->last_serial(), 6);

    // A length past the bytes held: that frame and the good one behind it go.
    Bytes overrun = frame(8, Bytes(20, 4));
    overrun[3] = 100;
    feed(*reader, socket, frame(7, {5}) + overrun + frame(9, {6}));
    EXPECT_EQ(next_frames(*reader), Frames({{5}}));
    EXPECT_EQ(reader->fill(), 0u);
}

TEST(DgramFrameReader, RefusesOldSerialsOnlyWhenChecking) {
    UdpSocket socket;
    const Bytes sequence = frame(1, {1}) + frame(1, {2}) + frame(3, {3}) + frame(2, {4}) +
                           frame(20000, {5}) + frame(2, {6});
    const Frames all = {{1}, {2}, {3}, {4}, {5}, {6}}, newer = {{1}, {3}};
    for (uint32_t check : {1u, 0u}) {
        auto reader = std::make_unique<DgramFrameReader>();
        open_reader(*reader, socket, check);
        feed(*reader, socket, sequence);
        EXPECT_EQ(next_frames(*reader), check ? newer : all);
        EXPECT_EQ(reader->last_serial(), check ? 3 : 2);
    }
}

TEST(DgramFrameWriter, PacksWholeFramesAndARoundTripRestoresThem) {
    UdpSocket socket, peer;
    auto writer = std::make_unique<DgramFrameWriter>();
    ASSERT_EQ(writer->open(peer.fd, 1, &socket.address), 1);
    Frames payloads(3, Bytes(500));
    for (int f = 0; f < 3; ++f) {
        for (int i = 0; i < 500; ++i)
            payloads[f][i] = uint8_t(f * 500 + i);
        ASSERT_EQ(writer->write_frame(payloads[f].data(), 500), 1);
    }
    EXPECT_EQ(send_io(*writer), Io(0, 0, kIdle));
    EXPECT_EQ(send_io(*writer), Io(1012, 1, kActive));
    EXPECT_EQ(send_io(*writer), Io(506, 1, kActive));
    EXPECT_EQ(send_io(*writer), Io(0, 0, kActive));

    const Bytes first = socket.take(), second = socket.take();
    ASSERT_EQ(first.size(), 1012u);
    ASSERT_EQ(second.size(), 506u);
    // Big-endian header; the CRC covers the payload as it travels, scrambled.
    EXPECT_EQ(Bytes(first.begin() + 2, first.begin() + 6), Bytes({0x01, 0xF4, 0x00, 0x01}));
    EXPECT_EQ(first[0] << 8 | first[1], net_dgram_crc16(&first[6], 500));
    EXPECT_NE(Bytes(first.begin() + 6, first.begin() + 506), payloads[0]);

    auto reader = std::make_unique<DgramFrameReader>();
    ASSERT_EQ(reader->open(socket.fd, 1, 1), 1);  // scrambled as well
    reader->receive();
    feed(*reader, socket, first);
    feed(*reader, socket, second);
    EXPECT_EQ(next_frames(*reader), payloads);

    // Frames that fill a datagram exactly leave together.
    const Bytes filler(894, 7);
    ASSERT_EQ(writer->write_frame(filler.data(), 500), 1);
    ASSERT_EQ(writer->write_frame(filler.data(), 894), 1);
    EXPECT_EQ(writer->send(), DGRAM_MAX);
}

TEST(DgramWriter, SendsTheWholeQueueAsOneDatagramAndFailsWithoutASocket) {
    UdpSocket socket, peer;
    auto writer = std::make_unique<DgramWriter>();
    EXPECT_EQ(writer->open(peer.fd, nullptr), 0);
    ASSERT_EQ(writer->open(peer.fd, &socket.address), 1);
    const Bytes data = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(writer->write(data.data(), 3), 1);
    ASSERT_EQ(writer->write(data.data() + 3, 4), 1);
    writer->send();
    EXPECT_EQ(writer->send(), 7u);
    EXPECT_EQ(socket.take(), data);

    const Bytes big(kDgramBufferSize, 0);
    EXPECT_EQ(writer->write(big.data(), kDgramBufferSize - 5), 0);
    EXPECT_EQ(writer->write(big.data(), kDgramBufferSize - 6), 1);
    EXPECT_EQ(writer->write(big.data(), 1), 0);

    // Socket -1 is taken; the first send fails, the next enters Failed.
    ASSERT_EQ(writer->open(-1, &socket.address), 1);
    StderrCapture capture;
    EXPECT_EQ(send_io(*writer), Io(0, 0, kIdle));
    EXPECT_EQ(send_io(*writer), Io(0, 1, kActive));
    EXPECT_EQ(send_io(*writer), Io(0, 0, kFailed));
    EXPECT_EQ(writer->fill(), kDgramBufferSize - 6);
    EXPECT_EQ(count_of(capture.text(), kErrnoReport), 1);
}

TEST(DgramReader, ReadTakesBytesFromTheFront) {
    UdpSocket socket;
    auto reader = std::make_unique<DgramReader>();
    EXPECT_EQ(reader->open(-1), 0);
    ASSERT_EQ(reader->open(socket.fd), 1);
    reader->receive();
    feed(*reader, socket, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    uint8_t out[16] = {};
    EXPECT_EQ(reader->read(out, 4), 4u);
    EXPECT_EQ(Bytes(out, out + 4), Bytes({0, 1, 2, 3}));
    EXPECT_EQ(reader->fill(), 6u);
    EXPECT_EQ(reader->read(out, 16), 6u);
    EXPECT_EQ(Bytes(out, out + 6), Bytes({4, 5, 6, 7, 8, 9}));
}

}  // namespace
