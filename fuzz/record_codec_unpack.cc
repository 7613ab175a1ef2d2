// Fuzzes the record codec where it meets the network: a peer's payload,
// whatever its bytes, unpacked as the report server does it, into
// destinations of exactly the server's sizes. The same payload also serves
// as a format of its own.
//
// Any disagreement aborts; a write past a destination is found by the
// address sanitizer of the fuzz build.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "network/system/record_codec.h"
#include "network/system/report_record.h"

namespace {

// The payload buffer of the server's intake: one datagram's worth (the
// transport's DGRAM_MAX), zero past the bytes received.
constexpr size_t kPayloadSize = 1406;

void check(bool holds) {
    if (!holds)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t payload[kPayloadSize] = {};
    memcpy(payload, data, size < kPayloadSize ? size : kPayloadSize);

    uint32_t type = UINT32_MAX;
    check(RecordCodec::unpack(payload, kReportHeaderFormat, &type) == kReportHeaderSize);
    check(type == payload[8]);

    uint32_t level = UINT32_MAX;
    char text[kReportTextRoom];
    memset(text, 0xAA, sizeof text);
    check(RecordCodec::unpack(payload, kReportFormat, &level, text) == kReportRecordSize);
    check(level == payload[9]);

    // The text is terminated within its 257 bytes of room and is the field's
    // bytes up to its first zero byte, or all 256 of them.
    const void* end = memchr(text, 0, sizeof text);
    check(end != nullptr);
    const size_t length = static_cast<const char*>(end) - text;
    const uint8_t* field = payload + kReportHeaderSize + 1;
    check(memcmp(text, field, length) == 0);
    check(length == static_cast<size_t>(kReportTextWidth) || field[length] == 0);

    // The payload read as a format, up to its first zero byte: the packed
    // size never overflows, and the payload unpacked with it consumes exactly
    // that size without writing past any destination. Formats with a B item,
    // more than eight values or wider than the payload are only sized.
    using Kind = RecordCodec::Kind;
    const char* start = reinterpret_cast<const char*>(payload);
    const std::string format(start, strnlen(start, kPayloadSize));
    const int32_t packed = RecordCodec::packed_size(format.c_str());
    check(packed >= 0);
    int64_t values = 0;
    for (auto item = RecordCodec::next_item(format.c_str());
         item.kind != Kind::kEnd && item.kind != Kind::kOther && values <= 8;
         item = RecordCodec::next_item(item.next)) {
        const Kind k = item.kind;  // C, H, L, F: a value per count; S, M: one; P, E: none
        values += (k < Kind::kPad ? item.count : 0) + (k == Kind::kString || k == Kind::kMemory) +
                  9 * (k == Kind::kBlock);
    }
    if (values > 8 || packed > static_cast<int32_t>(kPayloadSize))
        return 0;
    // Rows of 1,408 bytes: a whole field and a terminator, 4-byte aligned.
    alignas(4) static uint8_t room[8][kPayloadSize + 2];
    check(RecordCodec::unpack(payload, format.c_str(), room[0], room[1], room[2], room[3], room[4],
                              room[5], room[6], room[7]) == packed);
    return 0;
}
