// Fuzzes the frame reader the way the report server drives it: a peer's
// bytes arrive as datagrams on a loopback UDP socket, the reader appends one
// per receive() and hands out frames with next_frame() until it gives 0.
//
// Input: byte 0 is the mode (bit 0 scrambled, bit 1 serial check, bit 2
// "pile up": frames are taken only when the reader has no room left,
// instead of after every receive); bytes 1-2 (big-endian) and 3 choose the
// datagram sizes, 1 to DGRAM_MAX: datagram i is 1 + (base + i * step) %
// DGRAM_MAX bytes long. The rest is the byte stream, cut into datagrams;
// bytes past the first kMaxDatagrams datagrams are not sent, which keeps an
// input to a few hundred system calls.
//
// Checked on every call: the reader holds no more than its capacity, a
// delivered length fits the bytes held before the call and the payload
// buffer, and every result, payload, serial and fill agrees with a plain
// model of the frame rules kept beside the reader. The payload buffer is a
// heap block of exactly the size the caller promises, so the address
// sanitizer of the fuzz build catches a write past it.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "network/system/net_dgram_io.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Enough for a piled-up reader to run out of room (47 full datagrams).
constexpr uint32_t kMaxDatagrams = 128;

void check(bool holds, const char* what) {
    if (!holds) {
        fprintf(stderr, "dgram_frame_reader: %s\n", what);
        abort();
    }
}

// Two UDP sockets on 127.0.0.1, made once: the reader's and the peer's.
struct Link {
    int reader_fd = -1;
    int peer_fd = -1;
    sockaddr_in reader_address{};

    Link() {
        reader_fd = socket(AF_INET, SOCK_DGRAM, 0);
        peer_fd = socket(AF_INET, SOCK_DGRAM, 0);
        check(reader_fd >= 0 && peer_fd >= 0, "socket");
        reader_address.sin_family = AF_INET;
        reader_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof reader_address;
        check(bind(reader_fd, reinterpret_cast<sockaddr*>(&reader_address), size) == 0, "bind");
        check(getsockname(reader_fd, reinterpret_cast<sockaddr*>(&reader_address), &size) == 0,
              "getsockname");
    }

    void send(const uint8_t* bytes, size_t size) const {
        check(sendto(peer_fd, bytes, size, 0, reinterpret_cast<const sockaddr*>(&reader_address),
                     sizeof reader_address) == static_cast<ssize_t>(size),
              "sendto");
        pollfd ready = {reader_fd, POLLIN, 0};
        check(poll(&ready, 1, 10000) == 1, "datagram never arrived");
    }
};

// The frame rules written out plainly over a vector, with a bitwise CRC.
// The bytes held are held[start ..]; taking a frame moves `start`.
struct Model {
    Bytes held;
    size_t start = 0;
    bool scrambled = false;
    bool check_serial = false;
    uint16_t last_serial = 0;

    static uint16_t crc(const uint8_t* data, size_t size) {
        uint32_t reg = 0xFFFF;
        for (size_t i = 0; i < size; ++i) {
            reg ^= data[i] << 8;
            for (int bit = 0; bit < 8; ++bit)
                reg = (reg & 0x8000) ? ((reg << 1) ^ 0x1021) & 0xFFFF : (reg << 1) & 0xFFFF;
        }
        return static_cast<uint16_t>(reg ^ 0xFFFF);
    }

    static bool newer(int serial, int last) {
        const int ahead = serial - last;
        return (ahead > 0 && ahead < 16384) || ahead < -16384;
    }

    size_t size() const { return held.size() - start; }

    void append(const uint8_t* bytes, size_t count) {
        if (start == held.size()) {
            held.clear();
            start = 0;
        }
        held.insert(held.end(), bytes, bytes + count);
    }

    bool next(Bytes* payload) {
        for (;;) {
            if (size() < 7)
                return false;
            const uint8_t* frame = &held[start];
            const size_t length = frame[2] << 8 | frame[3];
            const uint16_t serial = static_cast<uint16_t>(frame[4] << 8 | frame[5]);
            if (size() < length + 6) {
                start = held.size();
                return false;
            }
            const bool good = (!check_serial || newer(serial, last_serial)) &&
                              crc(frame + 6, length) == (frame[0] << 8 | frame[1]);
            if (good) {
                payload->assign(frame + 6, frame + 6 + length);
                for (size_t i = 0; scrambled && i < length; ++i)
                    (*payload)[i] ^= net_dgram_key[(length + i) % kDgramKeySize];
                last_serial = serial;
            }
            start += 6 + length;
            if (good)
                return true;
        }
    }
};

// Takes frames until next_frame gives 0, comparing each with the model.
void take_frames(DgramFrameReader& reader, Model& model, uint8_t* dst, uint32_t dst_size) {
    Bytes expected;
    for (;;) {
        const uint32_t before = reader.fill();
        check(before <= reader.capacity() && reader.capacity() == kDgramBufferSize,
              "fill beyond capacity");
        uint32_t length = UINT32_MAX;
        const int got = reader.next_frame(dst, &length);
        const bool model_got = model.next(&expected);
        check(got == (model_got ? 1 : 0), "next_frame result differs from the frame rules");
        check(reader.fill() == model.size(), "fill differs from the bytes left");
        if (!got)
            return;
        check(length + kDgramHeaderSize <= before, "delivered more than was held");
        check(length <= dst_size, "delivered more than the payload buffer holds");
        check(
            length == expected.size() && (length == 0 || memcmp(dst, expected.data(), length) == 0),
            "delivered payload differs");
        check(reader.last_serial() == model.last_serial, "last_serial differs");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    static const Link link;
    static DgramFrameReader* const reader = new DgramFrameReader;
    // Exactly what each calling pattern promises the reader (see its header).
    static uint8_t* const server_payload = new uint8_t[DGRAM_MAX];
    static uint8_t* const piled_payload = new uint8_t[kDgramBufferSize];

    const bool pile_up = data[0] & 4;
    Model model;
    model.scrambled = data[0] & 1;
    model.check_serial = data[0] & 2;
    const uint32_t base = data[1] << 8 | data[2];
    const uint32_t step = data[3];
    data += 4;
    size -= 4;

    check(reader->open(link.reader_fd, model.scrambled, model.check_serial) == 1, "open");
    reader->reset();
    uint32_t attempted = 1;
    check(reader->receive(&attempted) == 0 && attempted == 0, "read before Active");

    for (uint32_t i = 0; size > 0 && i < kMaxDatagrams; ++i) {
        size_t chunk = 1 + (base + i * step) % DGRAM_MAX;
        if (chunk > size)
            chunk = size;
        link.send(data, chunk);
        uint32_t got = reader->receive(&attempted);
        if (got == 0 && attempted == 0) {
            // No room for a whole datagram: it waits in the socket.
            check(pile_up && reader->fill() > kDgramBufferSize - DGRAM_MAX, "receive skipped");
            take_frames(*reader, model, piled_payload, kDgramBufferSize);
            got = reader->receive(&attempted);
        }
        check(got == chunk, "datagram not appended whole");
        check(reader->state() == DgramEndpoint::Active, "reader not active");
        model.append(data, chunk);
        data += chunk;
        size -= chunk;
        if (pile_up)
            continue;
        take_frames(*reader, model, server_payload, DGRAM_MAX);
        // The server's pattern leaves at most a header's worth behind.
        check(reader->fill() <= kDgramHeaderSize, "bytes left after the intake's loop");
    }
    take_frames(*reader, model, piled_payload, kDgramBufferSize);
    return 0;
}
