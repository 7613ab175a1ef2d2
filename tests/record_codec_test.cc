#include "network/system/record_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "network/system/report_record.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const uint8_t* at, size_t n) {
    return Bytes(at, at + n);
}

}  // namespace

TEST(RecordCodecTest, ReportRecordsReadAndWrittenByteForByte) {
    uint8_t record[kReportRecordSize + 4] = {1, 2, 3, 4, 5, 6, 7, 8, 0xC0, 0x02, 0x6F, 0x6B, 0x00};
    uint32_t type = 0;
    EXPECT_EQ(RecordCodec::unpack(record, kReportHeaderFormat, &type), 9);
    EXPECT_EQ(type, REPORT_RECORD_TYPE);

    uint32_t level = 0;
    char text[kReportTextRoom];
    memset(text, 'x', sizeof text);
    EXPECT_EQ(RecordCodec::unpack(record, kReportFormat, &level, text), 266);
    EXPECT_EQ(level, 2u);
    EXPECT_EQ(bytes_of(reinterpret_cast<uint8_t*>(text), 4), (Bytes{0x6F, 0x6B, 0x00, 'x'}));

    uint8_t packed[kReportRecordSize + 1];
    memset(packed, 0xFF, sizeof packed);
    EXPECT_EQ(RecordCodec::pack(packed, kReportFormat, 2, "ok"), 266);
    EXPECT_EQ(bytes_of(packed, 12),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xC0, 0x02, 0x6F, 0x6B}));
    EXPECT_EQ(bytes_of(packed + 12, 254), Bytes(254, 0x00));
    EXPECT_EQ(packed[266], 0xFF);

    uint8_t numbers[8] = {};
    EXPECT_EQ(RecordCodec::pack(numbers, "HL", 258, 772), 6);
    EXPECT_EQ(bytes_of(numbers, 6), (Bytes{0x01, 0x02, 0x00, 0x00, 0x03, 0x04}));
}

TEST(RecordCodecTest, EveryLetterRoundTripsAndCaseDoesNotMatter) {
    const uint8_t memory[3] = {0xDE, 0xAD, 0x00};
    const uint8_t block[2] = {0xBE, 0xEF};
    uint8_t upper[64], lower[64];
    memset(upper, 0xFF, sizeof upper);
    memset(lower, 0xFF, sizeof lower);
    const int32_t size = RecordCodec::pack(upper, "2CHLF2P7E4S3MB", 0x1FF, 0x7F, 0xABCD, 0xFFFFFFFF,
                                           -2.25, "hey", memory, 2u, block);
    EXPECT_EQ(size, 2 + 2 + 4 + 4 + 2 + 1 + 4 + 3 + 2 + 2);
    EXPECT_EQ(RecordCodec::pack(lower, "2chlf2p7e4s3mb", 0x1FF, 0x7F, 0xABCD, 0xFFFFFFFF, -2.25,
                                "hey", memory, 2u, block),
              size);
    EXPECT_EQ(bytes_of(upper, size), bytes_of(lower, size));

    uint32_t c1 = 0, c2 = 0, h = 0, l = 0, block_length = 0;
    float f = 0;
    char text[5];
    uint8_t memory_out[3], block_out[2];
    EXPECT_EQ(RecordCodec::unpack(upper, "2cHlF2p7E4s3mB", &c1, &c2, &h, &l, &f, text, memory_out,
                                  &block_length, block_out),
              size);
    EXPECT_EQ(c1, 0xFFu);  // low 8 bits of 0x1FF
    EXPECT_EQ(c2, 0x7Fu);
    EXPECT_EQ(h, 0xABCDu);
    EXPECT_EQ(l, 0xFFFFFFFFu);
    EXPECT_EQ(f, -2.25f);
    EXPECT_STREQ(text, "hey");
    EXPECT_EQ(bytes_of(memory_out, 3), bytes_of(memory, 3));
    EXPECT_EQ(block_length, 2u);
    EXPECT_EQ(bytes_of(block_out, 2), bytes_of(block, 2));
}

TEST(RecordCodecTest, FormatEndsAtAnyCharacterOutsideTheLanguage) {
    uint8_t buffer[8];
    memset(buffer, 0xFF, sizeof buffer);
    EXPECT_EQ(RecordCodec::pack(buffer, "C C", 7, 8), 1);
    EXPECT_EQ(bytes_of(buffer, 2), (Bytes{0x07, 0xFF}));
    EXPECT_EQ(RecordCodec::packed_size("HX4L"), 2);
    EXPECT_EQ(RecordCodec::packed_size(""), 0);

    uint32_t first = 0, second = 99;
    EXPECT_EQ(RecordCodec::unpack(buffer, "C-C", &first, &second), 1);
    EXPECT_EQ(first, 7u);
    EXPECT_EQ(second, 99u);
}

TEST(RecordCodecTest, CountsOfZeroConstantsAndOverlongCounts) {
    uint8_t buffer[4];
    memset(buffer, 0xFF, sizeof buffer);
    // Zero counts take no value: 5 is the only one consumed.
    EXPECT_EQ(RecordCodec::pack(buffer, "0C0H0L0F0PC", 5), 1);
    EXPECT_EQ(bytes_of(buffer, 2), (Bytes{0x05, 0xFF}));
    EXPECT_EQ(RecordCodec::pack(buffer, "192E300EE", 0), 3);
    EXPECT_EQ(bytes_of(buffer, 3), (Bytes{0xC0, 0x2C, 0x01}));

    char text[4] = "abc";
    uint32_t value = 0;
    EXPECT_EQ(RecordCodec::unpack(buffer, "0SC", text, &value), 1);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(value, 0xC0u);

    // Counts saturate instead of overflowing; sizes saturate too.
    EXPECT_EQ(RecordCodec::next_item("99999999999999P").count, INT32_MAX);
    EXPECT_EQ(RecordCodec::next_item("2147483647P").count, INT32_MAX);
    EXPECT_EQ(RecordCodec::packed_size("2147483647L"), INT32_MAX);
    EXPECT_EQ(RecordCodec::packed_size("2000000000P2000000000P"), INT32_MAX);
}

TEST(RecordCodecTest, StringFieldsAtAndPastTheirWidth) {
    uint8_t record[6];
    memset(record, 0xFF, sizeof record);
    EXPECT_EQ(RecordCodec::pack(record, "4SC", "abcdef", 9), 5);
    EXPECT_EQ(bytes_of(record, 6), (Bytes{'a', 'b', 'c', 'd', 0x09, 0xFF}));

    char text[6];
    memset(text, 'x', sizeof text);
    uint32_t after = 0;
    EXPECT_EQ(RecordCodec::unpack(record, "4SC", text, &after), 5);
    EXPECT_EQ(bytes_of(reinterpret_cast<uint8_t*>(text), 6),
              (Bytes{'a', 'b', 'c', 'd', 0x00, 'x'}));
    EXPECT_EQ(after, 9u);

    // A zero byte inside the field ends the text, not the field.
    const uint8_t inner[6] = {'a', 'b', 0x00, 'd', 0x2A};
    EXPECT_EQ(RecordCodec::unpack(inner, "4SC", text, &after), 5);
    EXPECT_STREQ(text, "ab");
    EXPECT_EQ(after, 0x2Au);
}

TEST(RecordCodecTest, NullPointersStepLikeRealOnes) {
    uint8_t record[32];
    memset(record, 0xFF, sizeof record);
    const char* no_text = nullptr;
    const void* no_data = nullptr;
    EXPECT_EQ(RecordCodec::pack(record, "3S2MBC", no_text, no_data, 4u, no_data, 0x11), 12);
    EXPECT_EQ(bytes_of(record, 13), (Bytes{0, 0, 0, 0, 0, 0x00, 0x04, 0, 0, 0, 0, 0x11, 0xFF}));

    uint32_t* none = nullptr;
    uint32_t last = 0;
    EXPECT_EQ(RecordCodec::unpack(record, "3S2MBC", none, none, none, none, &last), 12);
    EXPECT_EQ(last, 0x11u);
    const uint8_t numbers[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(RecordCodec::unpack(numbers, "CHLFC", none, none, none, none, &last), 12);
    EXPECT_EQ(last, 12u);
}

TEST(RecordCodecTest, BlockLengthsAreClampedTo1312) {
    static uint8_t data[2000];
    static uint8_t record[1320];
    memset(data, 0x5A, sizeof data);
    EXPECT_EQ(RecordCodec::pack(record, "B", 3u, "abc"), 5);
    EXPECT_EQ(bytes_of(record, 5), (Bytes{0x00, 0x03, 'a', 'b', 'c'}));
    EXPECT_EQ(RecordCodec::pack(record, "9B", 3u, "abc"), 5);  // the count plays no part
    EXPECT_EQ(RecordCodec::pack(record, "B", 2000u, data), 1314);
    EXPECT_EQ(bytes_of(record, 2), (Bytes{0x05, 0x20}));
    EXPECT_EQ(RecordCodec::pack(record, "B", -1, data), 1314);

    // A stored length no packer writes is read as 1312 as well: the copy
    // stays within 1312 bytes of room and the input moves 2 + 1312.
    record[0] = 0xFF;
    record[1] = 0xFF;
    record[1314] = 0x77;
    memset(data, 0, sizeof data);
    uint32_t length = 0, after = 0;
    EXPECT_EQ(RecordCodec::unpack(record, "BC", &length, data, &after), 1315);
    EXPECT_EQ(length, 1312u);
    EXPECT_EQ(data[1311], 0x5A);
    EXPECT_EQ(data[1312], 0x00);
    EXPECT_EQ(after, 0x77u);

    EXPECT_EQ(RecordCodec::packed_size("B"), 1406);
    EXPECT_EQ(RecordCodec::packed_size("2CB4000S"), 1406);
}

TEST(RecordCodecTest, FloatsAreIeeeSinglesBigEndian) {
    uint8_t record[16];
    EXPECT_EQ(RecordCodec::pack(record, "4F", 1.5, 1e300, -1e300, std::nan("")), 16);
    EXPECT_EQ(bytes_of(record, 12),
              (Bytes{0x3F, 0xC0, 0x00, 0x00, 0x7F, 0x80, 0x00, 0x00, 0xFF, 0x80, 0x00, 0x00}));
    float values[4] = {};
    EXPECT_EQ(RecordCodec::unpack(record, "4F", &values[0], &values[1], &values[2], &values[3]),
              16);
    EXPECT_EQ(values[0], 1.5f);
    EXPECT_TRUE(std::isinf(values[1]) && values[1] > 0);
    EXPECT_TRUE(std::isnan(values[3]));
}
