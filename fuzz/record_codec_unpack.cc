// Fuzzes the record codec where it meets the network: a peer's payload,
// whatever its bytes, unpacked as the report server does it, into
// destinations of exactly the server's sizes. The same payload also serves
// as a format of its own, packed and unpacked in buffers of exactly its
// packed size.
//
// Any disagreement aborts; a write past a destination is found by the
// address sanitizer of the fuzz build.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "network/system/record_codec.h"
#include "network/system/report_record.h"

namespace {

// The payload buffer of the server's intake: one datagram's worth (the
// transport's DGRAM_MAX), zero past the bytes received.
constexpr size_t kPayloadSize = 1406;
// The largest record of a payload's own format that is packed and unpacked.
constexpr int32_t kRecordMax = 8192;

using Kind = RecordCodec::Kind;

void check(bool holds) {
    if (!holds)
        abort();
}

// Unpacks `record` with a format of at most eight values, each destination
// a row of room for the widest field (a whole S field and its terminator).
int32_t unpack_into_room(const uint8_t* record, const char* format) {
    alignas(4) static uint8_t room[8][kRecordMax + 4];
    return RecordCodec::unpack(record, format, room[0], room[1], room[2], room[3], room[4], room[5],
                               room[6], room[7]);
}

// Packs `format` item by item, each with values of its own kind (B at its
// longest: a length that clamps), each where the one before ended, as pack()
// itself goes on from item to item. Returns the bytes written.
int64_t pack_items(uint8_t* record, const char* format) {
    static const char source[kRecordMax] = "fuzz";
    int64_t written = 0;
    for (auto item = RecordCodec::next_item(format);
         item.kind != Kind::kEnd && item.kind != Kind::kOther;
         format = item.next, item = RecordCodec::next_item(format)) {
        const std::string one(format, item.next);  // the item alone, as a format
        uint8_t* out = record + written;
        if (item.kind == Kind::kFloat)
            written += RecordCodec::pack(out, one.c_str(), 1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5, 8.5);
        else if (item.kind == Kind::kBlock)
            written += RecordCodec::pack(out, one.c_str(), UINT32_MAX, source);
        else if (item.kind == Kind::kString || item.kind == Kind::kMemory)
            written += RecordCodec::pack(out, one.c_str(), source);
        else  // C, H, L take up to eight integers; P and E none
            written += RecordCodec::pack(out, one.c_str(), 1, 2, 3, 4, 5, 6, 7, 8);
    }
    return written;
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
    // size never overflows, and a heap buffer of exactly that size (the
    // address sanitizer sees a byte past it) holds every record of the
    // format. Unpacked, a record of the payload's bytes (so with hostile B
    // lengths) consumes the size exactly, or no more of it with a B field,
    // and writes past no destination. Packed with every B field at its
    // longest, the record is that size, or less when it takes the B format
    // minimum. Formats with more than eight values or records over
    // kRecordMax bytes are only sized.
    const char* start = reinterpret_cast<const char*>(payload);
    const std::string format(start, strnlen(start, kPayloadSize));
    const int32_t packed = RecordCodec::packed_size(format.c_str());
    check(packed >= 0);
    int64_t values = 0;
    bool has_block = false;
    for (auto item = RecordCodec::next_item(format.c_str());
         item.kind != Kind::kEnd && item.kind != Kind::kOther && values <= 8;
         item = RecordCodec::next_item(item.next)) {
        const Kind k = item.kind;  // C, H, L, F: a value per count; S, M: one; B: two
        values += (k < Kind::kPad ? item.count : 0) + (k == Kind::kString || k == Kind::kMemory) +
                  2 * (k == Kind::kBlock);
        has_block = has_block || k == Kind::kBlock;
    }
    if (values > 8 || packed > kRecordMax)
        return 0;
    // At least one byte, so that the buffer is never a null pointer.
    std::vector<uint8_t> record(packed > 0 ? packed : 1);
    for (size_t i = 0; i < record.size() && size > 0; ++i)
        record[i] = data[i % size];
    const int32_t consumed = unpack_into_room(record.data(), format.c_str());
    check(has_block ? consumed <= packed : consumed == packed);

    record.assign(record.size(), 0);
    const int64_t written = pack_items(record.data(), format.c_str());
    check(written == packed ||
          (has_block && written < packed && packed == RecordCodec::kBlockFormatMinSize));
    check(unpack_into_room(record.data(), format.c_str()) == written);
    return 0;
}
