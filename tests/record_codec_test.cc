#include "network/system/record_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "network/system/report_record.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A record buffer that starts out all 0xFF, so bytes left unwritten show.
struct Buffer {
    uint8_t at[1400];
    Buffer() { memset(at, 0xFF, sizeof at); }
    Bytes first(size_t n) const { return Bytes(at, at + n); }
};

TEST(RecordCodecTest, WorkedExamplesByteForByte) {
    // 01 02 .. 08 C0 02 6F 6B 00, then zeros
    const uint8_t record[kReportRecordSize] = {1, 2, 3, 4, 5, 6, 7, 8, 0xC0, 0x02, 0x6F, 0x6B};
    uint32_t type = 0, level = 0, length = 0;
    char text[kReportTextRoom], room[RecordCodec::kBlockMax];
    EXPECT_EQ(RecordCodec::unpack(record, kReportHeaderFormat, &type), 9);
    EXPECT_EQ(RecordCodec::unpack(record, kReportFormat, &level, text), 266);
    EXPECT_EQ(std::make_pair(type, level), std::make_pair(REPORT_RECORD_TYPE, 2u));
    EXPECT_STREQ(text, "ok");

    Buffer out;
    EXPECT_EQ(RecordCodec::pack(out.at, kReportFormat, 2, "ok"), 266);
    EXPECT_EQ(out.first(8), Bytes(8, 0xFF));  // pad bytes are never written
    EXPECT_EQ(Bytes(out.at + 8, out.at + 266), Bytes(record + 8, record + 266));
    EXPECT_EQ(out.at[266], 0xFF);

    EXPECT_EQ(RecordCodec::pack(out.at, "HL", 258, 772), 6);
    EXPECT_EQ(out.first(6), (Bytes{0x01, 0x02, 0x00, 0x00, 0x03, 0x04}));
    EXPECT_EQ(RecordCodec::pack(out.at, "B", 3u, "abc"), 5);
    EXPECT_EQ(out.first(5), (Bytes{0x00, 0x03, 0x61, 0x62, 0x63}));
    EXPECT_EQ(RecordCodec::pack(out.at, "B", 2000u, room), 1314);  // 1312 of room's bytes read
    EXPECT_EQ(out.first(2), (Bytes{0x05, 0x20}));
    // A stored length no packer writes is clamped as well: exactly
    // kBlockMax bytes of room suffice and the input moves 2 + 1312.
    out.at[0] = out.at[1] = 0xFF;
    EXPECT_EQ(RecordCodec::unpack(out.at, "B", &length, room), 1314);
    EXPECT_EQ(length, 1312u);

    EXPECT_EQ(RecordCodec::pack(out.at, "2F", 1.5, 1e300), 8);
    EXPECT_EQ(out.first(8), (Bytes{0x3F, 0xC0, 0x00, 0x00, 0x7F, 0x80, 0x00, 0x00}));
}

TEST(RecordCodecTest, LettersCountsAndFieldWidths) {
    Buffer out;
    uint32_t first = 0, second = 99;
    EXPECT_EQ(RecordCodec::pack(out.at, "C C", 7, 8), 1);  // a space ends the format
    EXPECT_EQ(out.first(2), (Bytes{0x07, 0xFF}));
    EXPECT_EQ(RecordCodec::unpack(out.at, "C C", &first, &second), 1);
    EXPECT_EQ(second, 99u);
    EXPECT_EQ(RecordCodec::pack(out.at, "0C0H0L0F0PC", 5), 1);  // zero counts take no value
    EXPECT_EQ(out.first(2), (Bytes{0x05, 0xFF}));
    EXPECT_EQ(RecordCodec::pack(out.at, "192E300EE"), 3);
    EXPECT_EQ(out.first(3), (Bytes{0xC0, 0x2C, 0x01}));

    // S fields at and past their width: no terminator in the record, one
    // written after the 4 copied bytes on unpack.
    for (const char* text : {"abcd", "abcdef"}) {
        EXPECT_EQ(RecordCodec::pack(out.at, "4SC", text, 9), 5);
        EXPECT_EQ(out.first(6), (Bytes{'a', 'b', 'c', 'd', 0x09, 0xFF}));
        char back[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
        EXPECT_EQ(RecordCodec::unpack(out.at, "4SC", back, &second), 5);
        EXPECT_EQ(Bytes(back, back + 6), (Bytes{'a', 'b', 'c', 'd', 0x00, 'x'}));
        EXPECT_EQ(second, 9u);
    }

    // Null pointers: zero bytes of the full width on pack, the same steps
    // as real destinations on unpack.
    void* const none = nullptr;
    EXPECT_EQ(RecordCodec::pack(out.at, "3S2MBC", none, none, 4u, none, 0x11), 12);
    EXPECT_EQ(out.first(13), (Bytes{0, 0, 0, 0, 0, 0x00, 0x04, 0, 0, 0, 0, 0x11, 0xFF}));
    EXPECT_EQ(RecordCodec::unpack(out.at, "3S2MBC", none, none, none, none, &first), 12);
    EXPECT_EQ(RecordCodec::unpack(out.at, "CHLFC", none, none, none, none, &second), 12);
    EXPECT_EQ(std::make_pair(first, second), std::make_pair(0x11u, 0x11u));

    // Every letter round trips, and lower case is read as upper case.
    for (const char* format : {"CHLF2P7E4S3MB", "chlf2p7e4s3mb"}) {
        SCOPED_TRACE(format);
        EXPECT_EQ(RecordCodec::pack(out.at, format, 0x1FF, 0xABCD, 0xFFFFFFFF, 1.5, "hey", "mem",
                                    2u, "be"),
                  25);
        uint32_t c = 0, h = 0, l = 0, length = 0;
        float f = 0;  // 1.5 is read back from 3F C0 00 00
        char text[5], memory[3], data[RecordCodec::kBlockMax];
        EXPECT_EQ(RecordCodec::unpack(out.at, format, &c, &h, &l, &f, text, memory, &length, data),
                  25);
        EXPECT_EQ(std::make_tuple(c, h, l, f, length),
                  std::make_tuple(0xFFu, 0xABCDu, 0xFFFFFFFFu, 1.5f, 2u));
        EXPECT_EQ(std::string(text) + std::string(memory, 3) + std::string(data, 2), "heymembe");
    }

    // A buffer of exactly packed_size bytes (on the heap, so that the address
    // sanitizer sees a byte past it) holds the largest record of a format
    // with fields before and after a block: packing the longest block fills
    // it up to that record, and unpacking a stored length no packer writes
    // (FF FF) reads no further. packed_size is that record or 1406, the
    // larger, and counts every block at its largest.
    char block[RecordCodec::kBlockMax] = {}, after[2000];
    for (const auto& [format, largest] :
         {std::pair{"100PB", 1414}, {"E2PB8M", 1325}, {"100PB9M", 1423}, {"B2000M", 3314}}) {
        SCOPED_TRACE(format);
        std::vector<uint8_t> record(RecordCodec::packed_size(format), 0xFF);
        uint32_t length = 0;
        EXPECT_EQ(RecordCodec::unpack(record.data(), format, &length, block, after), largest);
        EXPECT_EQ(RecordCodec::pack(record.data(), format, 2000u, block, nullptr), largest);
        EXPECT_EQ(record.size(), std::max<size_t>(largest, 1406));
        EXPECT_EQ(length, RecordCodec::kBlockMax);
    }
    EXPECT_EQ(RecordCodec::packed_size("2CB4000SB"), 2 + 1314 + 4000 + 1314);
    EXPECT_EQ(RecordCodec::packed_size(""), 0);
    EXPECT_EQ(RecordCodec::packed_size("99999999999P2P"), INT32_MAX);  // counts and sums saturate
}

}  // namespace
