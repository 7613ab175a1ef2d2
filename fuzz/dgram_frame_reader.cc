// Fuzzes the frame reader the way the report server drives it: the input's
// bytes arrive as datagrams, appended one at a time, and frames are taken
// with next_frame() until it gives 0.
//
// Input: byte 0 is the mode (bit 0 scrambled, bit 1 serial check, bit 2
// "pile up": frames are taken only when the reader has no room left,
// instead of after every datagram); bytes 1-2 (big-endian) and 3 choose the
// datagram sizes: datagram i is 1 + (base + i * step) % DGRAM_MAX bytes
// long. The rest is the byte stream, cut into datagrams.
//
// Checked on every call: the fill stays within the capacity, and a delivered
// length fits both the bytes it took from the buffer and the payload buffer.
// That buffer is a heap block of exactly the size the caller promises, so
// the address sanitizer of the fuzz build catches a write past it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "network/system/net_dgram_io.h"

namespace {

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
    static DgramFrameReader* const reader = new DgramFrameReader;
    // Exactly what each calling pattern promises the reader (see its header).
    static uint8_t* const server_payload = new uint8_t[DGRAM_MAX];
    static uint8_t* const piled_payload = new uint8_t[kDgramBufferSize];

    const bool pile_up = data[0] & 4;
    const uint32_t base = data[1] << 8 | data[2], step = data[3];
    reader->open(0, data[0] & 1, data[0] & 2);
    reader->reset();
    data += 4, size -= 4;
    for (uint32_t i = 0; size > 0; ++i) {
        const uint32_t chunk =
            static_cast<uint32_t>(std::min<size_t>(1 + (base + i * step) % DGRAM_MAX, size));
        if (reader->append(data, chunk) == 0) {  // no room for a whole datagram
            check(pile_up && reader->fill() > kDgramBufferSize - DGRAM_MAX, "datagram refused");
            take_frames(*reader, piled_payload, kDgramBufferSize);
            check(reader->append(data, chunk) == chunk, "datagram refused after taking frames");
        }
        data += chunk, size -= chunk;
        if (!pile_up) {
            take_frames(*reader, server_payload, DGRAM_MAX);
            check(reader->fill() <= kDgramHeaderSize, "more than a header left after the loop");
        }
    }
    take_frames(*reader, piled_payload, kDgramBufferSize);
    return 0;
}
