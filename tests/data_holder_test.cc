// DataHolder: what a caller observes are counts, sizes, the bytes of each
// block, where blocks lie relative to block 0, and one log line per refusal.
#include "network/system/data_holder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/stderr_capture.h"

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

TEST(DataHolderTest, LimitsOfAreaAndTable) {
    auto holder = std::make_unique<DataHolder>();
    const Block first(40000, 1), second(25536, 2), full(65536, 3);
    StderrCapture log;
    EXPECT_EQ(holder->add(first.data(), 40000), 1);
    EXPECT_EQ(holder->add(second.data(), 25536), 1);
    EXPECT_EQ(holder->add(first.data(), 1), 0);
    EXPECT_EQ(holder->add(nullptr, 0), 1);  // an empty block still fits
    EXPECT_EQ(blocks_of(*holder), (std::vector<Block>{first, second, {}}));

    // The 1,025th block is refused; one that breaks both limits is reported
    // as a buffer overrun only.
    holder->clear();
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(holder->add(&i, 1), 1);
    EXPECT_EQ(holder->add(nullptr, 0), 0);
    EXPECT_EQ(holder->add(full.data(), 65536 - 1024 + 1), 0);
    EXPECT_EQ(blocks_of(*holder).size(), 1024u);
    EXPECT_EQ(count_of(log.text(), "DATA HOLDER: BUFFER OVER!!\n"), 2);
    EXPECT_EQ(count_of(log.text(), "DATA HOLDER: ENTRY OVER!!\n"), 1);

    holder->clear();
    EXPECT_EQ(holder->add(full.data(), 65536), 1);
    EXPECT_EQ(blocks_of(*holder), std::vector<Block>{full});
}

TEST(DataHolderTest, RemoveAndBadIndexes) {
    auto holder = std::make_unique<DataHolder>();
    const Block a(3, 'a'), b(5, 'b'), c(7, 'c'), empty;
    for (const Block* block : {&a, &b, &c})
        holder->add(block->data(), block->size());
    EXPECT_EQ(holder->remove(1), 1);  // from the middle: c moves down over the gap
    EXPECT_EQ(blocks_of(*holder), (std::vector<Block>{a, c}));

    // Empty blocks on both sides of a removed one end up where it started.
    for (const Block* block : {&empty, &b, &empty, &b})
        holder->add(block->data(), block->size());
    EXPECT_EQ(holder->remove(3), 1);
    EXPECT_EQ(blocks_of(*holder), (std::vector<Block>{a, c, {}, {}, b}));
    EXPECT_EQ(holder->remove(4), 1);  // the last one
    EXPECT_EQ(blocks_of(*holder), (std::vector<Block>{a, c, {}, {}}));

    // Refusals leave the holder as it was, each with its own line.
    StderrCapture log;
    for (int32_t index : {-1, 4})  // -1 and count()
        EXPECT_TRUE(holder->remove(index) == 0 && holder->address_of(index) == nullptr &&
                    holder->size_of(index) == 0);
    for (const std::string what : {"DELETE!!\n", "GET ADDRESS!!\n", "GET SIZE!!\n"})
        EXPECT_EQ(count_of(log.text(), "DATA HOLDER: BAD INDEX TO " + what), 2) << what;
    EXPECT_EQ(count_of(log.text(), "\n"), 6);
    EXPECT_EQ(blocks_of(*holder), (std::vector<Block>{a, c, {}, {}}));
}
