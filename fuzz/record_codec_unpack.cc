// Fuzzes the record codec where it meets the network: a peer's payload,
// whatever its bytes, unpacked as the report server does it, into
// destinations of exactly the server's sizes. Then the same input serves as
// a format of its own: its packed size, and unpacking a record with it,
// must agree with the field widths its items name; a format whose values
// are all pointers (S and M, with P and E between) must also pack what it
// unpacked back to the same bytes.
//
// Any disagreement aborts; a write past a destination is found by the
// address sanitizer of the fuzz build.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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

void unpack_report(const uint8_t* data, size_t size) {
    uint8_t payload[kPayloadSize] = {};
    memcpy(payload, data, size < kPayloadSize ? size : kPayloadSize);

    uint32_t type = UINT32_MAX;
    check(RecordCodec::unpack(payload, kReportHeaderFormat, &type) == kReportHeaderSize);
    check(type < 256 && type == payload[8]);

    uint32_t level = UINT32_MAX;
    char text[kReportTextRoom];
    memset(text, 0xAA, sizeof text);
    check(RecordCodec::unpack(payload, kReportFormat, &level, text) == kReportRecordSize);
    check(level < 256 && level == payload[9]);

    // The text is terminated within its room and is the field's bytes up to
    // the field's first zero byte, or all 256 of them.
    const void* end = memchr(text, 0, sizeof text);
    check(end != nullptr);
    const size_t length = static_cast<const char*>(end) - text;
    const uint8_t* field = payload + kReportHeaderSize + 1;
    check(memcmp(text, field, length) == 0);
    check(length == static_cast<size_t>(kReportTextWidth) || field[length] == 0);
}

// Limits on the formats tried as a whole: destinations handed over, and
// bytes a record may span.
constexpr int kMaxDestinations = 8;
constexpr int64_t kRecordRoom = 4096;

void unpack_with_input_as_format(const uint8_t* data, size_t size) {
    char format[257];
    const size_t format_length =
        strnlen(reinterpret_cast<const char*>(data), size < 256 ? size : 256);
    memcpy(format, data, format_length);
    format[format_length] = '\0';

    const int32_t packed = RecordCodec::packed_size(format);
    check(packed >= 0);

    // Walk the items for the destinations they take and the bytes they
    // span; a B field spans at most 2 + kBlockMax.
    int destinations = 0;
    int64_t span = 0;
    bool has_block = false;
    bool pointer_values = true;
    for (RecordCodec::Item item = RecordCodec::next_item(format);
         item.kind != RecordCodec::Kind::kEnd && item.kind != RecordCodec::Kind::kOther;
         item = RecordCodec::next_item(item.next)) {
        check(item.count >= 0);
        switch (item.kind) {
            case RecordCodec::Kind::kChar:
                destinations += item.count > kMaxDestinations ? kMaxDestinations + 1 : item.count;
                span += item.count;
                pointer_values = item.count == 0 && pointer_values;
                break;
            case RecordCodec::Kind::kShort:
                destinations += item.count > kMaxDestinations ? kMaxDestinations + 1 : item.count;
                span += int64_t{2} * item.count;
                pointer_values = item.count == 0 && pointer_values;
                break;
            case RecordCodec::Kind::kLong:
            case RecordCodec::Kind::kFloat:
                destinations += item.count > kMaxDestinations ? kMaxDestinations + 1 : item.count;
                span += int64_t{4} * item.count;
                pointer_values = item.count == 0 && pointer_values;
                break;
            case RecordCodec::Kind::kPad:
                span += item.count;
                break;
            case RecordCodec::Kind::kConstant:
                span += 1;
                break;
            case RecordCodec::Kind::kString:
            case RecordCodec::Kind::kMemory:
                destinations += 1;
                span += item.count;
                break;
            case RecordCodec::Kind::kBlock:
                destinations += 2;
                span += 2 + RecordCodec::kBlockMax;
                has_block = true;
                pointer_values = false;
                break;
            case RecordCodec::Kind::kEnd:
            case RecordCodec::Kind::kOther:
                break;
        }
        // Beyond the limits only the size's sign was checked.
        if (destinations > kMaxDestinations || span > kRecordRoom)
            return;
    }
    check(has_block ? packed == RecordCodec::kBlockFormatSize : packed == span);

    // Every destination gets room for the widest field the limits allow.
    static uint8_t record[kRecordRoom];
    alignas(4) static uint8_t room[kMaxDestinations][kRecordRoom + 4];
    memset(record, 0, sizeof record);
    memcpy(record, data, size < sizeof record ? size : sizeof record);
    const int32_t consumed = RecordCodec::unpack(record, format, room[0], room[1], room[2], room[3],
                                                 room[4], room[5], room[6], room[7]);
    check(has_block ? consumed <= span : consumed == span);
    if (!pointer_values)
        return;

    // What was unpacked packs to `packed`; unpacked and packed again, it
    // gives the same bytes (pad bytes are zero in both buffers).
    static uint8_t first[kRecordRoom];
    static uint8_t second[kRecordRoom];
    alignas(4) static uint8_t again[kMaxDestinations][kRecordRoom + 4];
    memset(first, 0, sizeof first);
    memset(second, 0, sizeof second);
    check(RecordCodec::pack(first, format, room[0], room[1], room[2], room[3], room[4], room[5],
                            room[6], room[7]) == span);
    check(RecordCodec::unpack(first, format, again[0], again[1], again[2], again[3], again[4],
                              again[5], again[6], again[7]) == span);
    check(RecordCodec::pack(second, format, again[0], again[1], again[2], again[3], again[4],
                            again[5], again[6], again[7]) == span);
    check(memcmp(first, second, span) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unpack_report(data, size);
    unpack_with_input_as_format(data, size);
    return 0;
}
