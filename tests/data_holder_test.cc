// DataHolder: counts, sizes, the bytes of each block, where blocks lie
// relative to block 0, and one log line per refusal.
#include "network/system/data_holder.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "support/test_support.h"

using Block = std::vector<unsigned char>;

// The blocks read back, after checking that they lie one after another from
// block 0 in index order and fill bytes_used() exactly.
static std::vector<Block> blocks_of(DataHolder& holder) {
    std::vector<Block> blocks;
    uint32_t offset = 0;
    for (int32_t i = 0; i < holder.count(); offset += holder.size_of(i++)) {
        EXPECT_EQ(holder.address_of(i), holder.address_of(0) + offset) << i;
        blocks.emplace_back(holder.address_of(i), holder.address_of(i) + holder.size_of(i));
    }
    EXPECT_EQ(offset, holder.bytes_used());
    return blocks;
}

TEST(DataHolderTest, LimitsRemovalsAndRefusals) {
    auto holder = std::make_unique<DataHolder>();
    const Block a(3, 'a'), b(5, 'b'), c(7, 'c'), big(40000, 1), rest(25526, 2), full(65536, 3);
    testing::internal::CaptureStderr();
    for (const Block* block : {&a, &b, &c})
        holder->add(block->data(), block->size());
    EXPECT_EQ(holder->remove(1), 1);  // c moves down over the gap
    EXPECT_EQ(holder->add(big.data(), 40000), 1);
    EXPECT_EQ(holder->add(rest.data(), 25526), 1);  // exactly full
    EXPECT_EQ(holder->add(big.data(), 1), 0);       // the area is full
    EXPECT_EQ(holder->add(nullptr, 0), 1);          // an empty block still fits
    EXPECT_EQ(holder->remove(4), 1);                // the last block: only the table shrinks
    EXPECT_EQ(holder->remove(2), 1);
    EXPECT_EQ(blocks_of(*holder), (std::vector<Block>{a, c, rest}));
    for (int32_t index : {-1, 3})  // -1 and count(): refused, nothing changes
        EXPECT_TRUE(!holder->remove(index) && !holder->address_of(index) &&
                    !holder->size_of(index));
    EXPECT_EQ(blocks_of(*holder), (std::vector<Block>{a, c, rest}));

    holder->clear();
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(holder->add(&i, 1), 1);
    EXPECT_EQ(holder->add(nullptr, 0), 0);                 // the table is full
    EXPECT_EQ(holder->add(full.data(), 65536 - 1023), 0);  // both: the area is named
    holder->clear();
    EXPECT_EQ(holder->add(full.data(), 65536), 1);
    EXPECT_EQ(blocks_of(*holder), std::vector<Block>{full});
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_of(text, "DATA HOLDER: BUFFER OVER!!\n"), 2);
    EXPECT_EQ(count_of(text, "DATA HOLDER: ENTRY OVER!!\n"), 1);
    for (const std::string what : {"DELETE!!\n", "GET ADDRESS!!\n", "GET SIZE!!\n"})
        EXPECT_EQ(count_of(text, "DATA HOLDER: BAD INDEX TO " + what), 2) << what;
    EXPECT_EQ(count_of(text, "\n"), 9);
}
