// DataHolder: blocks packed in a 65,536-byte area with a 1,024-entry table.
// The scenarios check what a caller observes: counts, sizes, where blocks lie
// relative to block 0, the bytes they hold, and one log line per refusal.
#include "network/system/data_holder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/stderr_capture.h"

namespace {

std::vector<unsigned char> pattern(uint32_t size, unsigned char seed) {
    std::vector<unsigned char> bytes(size);
    for (uint32_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(seed + i * 7);
    return bytes;
}

ptrdiff_t offset_of(DataHolder& holder, int32_t index) {
    return holder.address_of(index) - holder.address_of(0);
}

bool holds(DataHolder& holder, int32_t index, const std::vector<unsigned char>& bytes) {
    return holder.size_of(index) == bytes.size() &&
           memcmp(holder.address_of(index), bytes.data(), bytes.size()) == 0;
}

TEST(DataHolderTest, LimitsOfAreaAndTableAndClear) {
    auto holder = std::make_unique<DataHolder>();
    const auto first = pattern(40000, 1), second = pattern(25536, 2);
    StderrCapture log;
    EXPECT_EQ(holder->add(first.data(), 40000), 1);
    EXPECT_EQ(holder->add(second.data(), 25536), 1);
    EXPECT_EQ(holder->add(first.data(), 1), 0);
    EXPECT_EQ(count_of(log.text(), "DATA HOLDER: BUFFER OVER!!\n"), 1);
    EXPECT_EQ(holder->add(nullptr, 0), 1);  // an empty block still fits
    EXPECT_EQ(holder->bytes_used(), 65536u);
    EXPECT_EQ(offset_of(*holder, 1), 40000);
    EXPECT_EQ(offset_of(*holder, 2), 65536);
    EXPECT_TRUE(holds(*holder, 0, first) && holds(*holder, 1, second));

    // Table full with room to spare: the entry limit; table full and no room:
    // only the buffer limit is reported.
    holder->clear();
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(holder->add(&i, 1), 1);
    EXPECT_EQ(holder->add(nullptr, 0), 0);
    EXPECT_EQ(count_of(log.text(), "DATA HOLDER: ENTRY OVER!!\n"), 1);
    EXPECT_EQ(holder->add(first.data(), 65536 - 1024 + 1), 0);
    EXPECT_EQ(count_of(log.text(), "DATA HOLDER: BUFFER OVER!!\n"), 2);
    EXPECT_EQ(count_of(log.text(), "DATA HOLDER: ENTRY OVER!!\n"), 1);
    EXPECT_EQ(holder->count(), 1024);
    EXPECT_EQ(holder->bytes_used(), 1024u);

    holder->clear();
    EXPECT_EQ(holder->count(), 0);
    const auto full = pattern(65536, 3);
    EXPECT_EQ(holder->add(full.data(), 65536), 1);
    EXPECT_TRUE(holds(*holder, 0, full));
}

TEST(DataHolderTest, RemoveClosesTheGap) {
    auto holder = std::make_unique<DataHolder>();
    const auto a = pattern(3, 10), b = pattern(5, 20), c = pattern(7, 30);
    holder->add(a.data(), 3);
    holder->add(b.data(), 5);
    holder->add(c.data(), 7);
    unsigned char* const start = holder->address_of(0);

    EXPECT_EQ(holder->remove(1), 1);  // middle: the third block moves to offset 3
    EXPECT_EQ(holder->count(), 2);
    EXPECT_EQ(holder->bytes_used(), 10u);
    EXPECT_EQ(offset_of(*holder, 1), 3);
    EXPECT_TRUE(holds(*holder, 0, a) && holds(*holder, 1, c));

    holder->add(b.data(), 5);
    EXPECT_EQ(holder->remove(2), 1);  // last: nothing moves
    EXPECT_EQ(holder->bytes_used(), 10u);
    EXPECT_TRUE(holds(*holder, 0, a) && holds(*holder, 1, c));

    EXPECT_EQ(holder->remove(0), 1);  // first: the rest moves to the start
    EXPECT_EQ(holder->address_of(0), start);
    EXPECT_TRUE(holds(*holder, 0, c));

    // Empty blocks on both sides of a removed one end up where it started.
    holder->clear();
    holder->add(a.data(), 3);
    holder->add(nullptr, 0);
    holder->add(b.data(), 5);
    holder->add(nullptr, 0);
    holder->add(c.data(), 7);
    EXPECT_EQ(holder->remove(2), 1);
    EXPECT_EQ(offset_of(*holder, 1), 3);
    EXPECT_EQ(offset_of(*holder, 2), 3);
    EXPECT_EQ(offset_of(*holder, 3), 3);
    EXPECT_TRUE(holds(*holder, 3, c));
    EXPECT_EQ(holder->bytes_used(), 10u);
}

TEST(DataHolderTest, BadIndexesAreRefusedAndChangeNothing) {
    auto holder = std::make_unique<DataHolder>();
    const auto a = pattern(3, 70), b = pattern(9, 80);
    holder->add(a.data(), 3);
    holder->add(b.data(), 9);
    StderrCapture log;
    for (int32_t index : {-1, 2}) {
        EXPECT_EQ(holder->remove(index), 0) << index;
        EXPECT_EQ(holder->address_of(index), nullptr) << index;
        EXPECT_EQ(holder->size_of(index), 0u) << index;
    }
    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "DATA HOLDER: BAD INDEX TO DELETE!!\n"), 2);
    EXPECT_EQ(count_of(text, "DATA HOLDER: BAD INDEX TO GET ADDRESS!!\n"), 2);
    EXPECT_EQ(count_of(text, "DATA HOLDER: BAD INDEX TO GET SIZE!!\n"), 2);
    EXPECT_EQ(count_of(text, "\n"), 6);
    EXPECT_EQ(holder->count(), 2);
    EXPECT_EQ(holder->bytes_used(), 12u);
    EXPECT_EQ(offset_of(*holder, 1), 3);
    EXPECT_TRUE(holds(*holder, 0, a) && holds(*holder, 1, b));
}

}  // namespace
