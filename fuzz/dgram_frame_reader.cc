// Fuzzes the frame reader the way the report server drives it: the input's
// bytes arrive as datagrams on a loopback UDP socket, the reader appends one
// per receive() and hands out frames with next_frame() until it gives 0.
//
// Input: byte 0 is the mode (bit 0 scrambled, bit 1 serial check, bit 2
// "pile up": frames are taken only when the reader has no room left,
// instead of after every receive); bytes 1-2 (big-endian) and 3 choose the
// datagram sizes: datagram i is 1 + (base + i * step) % DGRAM_MAX bytes
// long. The rest is the byte stream, cut into datagrams; bytes past the
// first kMaxDatagrams datagrams are not sent.
//
// Checked on every call: the fill stays within the capacity, and a delivered
// length fits both the bytes it took from the buffer and the payload buffer.
// That buffer is a heap block of exactly the size the caller promises, so
// the address sanitizer of the fuzz build catches a write past it.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "network/system/net_dgram_io.h"

namespace {

constexpr uint32_t kMaxDatagrams = 128;  // enough for a piled-up reader to fill up

void check(bool holds, const char* what) {
    if (!holds) {
        fprintf(stderr, "dgram_frame_reader: %s\n", what);
        abort();
    }
}

// Takes frames until next_frame gives 0; `dst` holds `dst_size` bytes.
void take_frames(DgramFrameReader& reader, uint8_t* dst, uint32_t dst_size) {
    for (uint32_t before = reader.fill(), length = 0; reader.next_frame(dst, &length) == 1;
         before = reader.fill()) {
        check(length + kDgramHeaderSize <= before - reader.fill(), "delivered more than taken");
        check(length <= dst_size, "delivered more than the payload buffer holds");
    }
    check(reader.fill() <= reader.capacity(), "fill beyond capacity");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    // A UDP socket on 127.0.0.1 connected to itself, and the reader on it.
    static const int fd = [] {
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in self{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof self;
        auto* address = reinterpret_cast<sockaddr*>(&self);
        const timeval limit = {10, 0};  // for the blocking recv below
        check(s >= 0 && bind(s, address, length) == 0 && getsockname(s, address, &length) == 0 &&
                  connect(s, address, length) == 0 &&
                  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0,
              "socket");
        return s;
    }();
    static DgramFrameReader* const reader = new DgramFrameReader;
    // Exactly what each calling pattern promises the reader (see its header).
    static uint8_t* const server_payload = new uint8_t[DGRAM_MAX];
    static uint8_t* const piled_payload = new uint8_t[kDgramBufferSize];

    const bool pile_up = data[0] & 4;
    const uint32_t base = data[1] << 8 | data[2], step = data[3];
    check(reader->open(fd, data[0] & 1, data[0] & 2) == 1, "open");
    reader->reset();
    uint32_t attempted = 1;
    check(reader->receive(&attempted) == 0 && attempted == 0, "read before Active");
    data += 4, size -= 4;
    for (uint32_t i = 0; size > 0 && i < kMaxDatagrams; ++i) {
        const size_t chunk = std::min<size_t>(1 + (base + i * step) % DGRAM_MAX, size);
        check(send(fd, data, chunk, 0) == static_cast<ssize_t>(chunk), "send");
        check(recv(fd, nullptr, 0, MSG_PEEK) >= 0, "datagram never came");  // blocks till then
        uint32_t got = reader->receive(&attempted);
        if (got == 0 && attempted == 0) {  // no room for a whole datagram: it waits
            check(pile_up && reader->fill() > kDgramBufferSize - DGRAM_MAX, "receive skipped");
            take_frames(*reader, piled_payload, kDgramBufferSize);
            got = reader->receive(&attempted);
        }
        check(got == chunk && reader->state() == DgramEndpoint::Active, "datagram not taken whole");
        check(reader->fill() <= reader->capacity(), "fill beyond capacity");
        data += chunk, size -= chunk;
        if (!pile_up) {
            take_frames(*reader, server_payload, DGRAM_MAX);
            check(reader->fill() <= kDgramHeaderSize, "more than a header left after the loop");
        }
    }
    take_frames(*reader, piled_payload, kDgramBufferSize);
    return 0;
}
