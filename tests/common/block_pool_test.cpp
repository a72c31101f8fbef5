#include "block_pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace mirelo {
namespace {

constexpr size_t MiB = size_t{1} << 20;

// A block handed back is handed out again, so its pages stay warm; a small request takes a kept
// block too, and a small block handed back is kept.
TEST(Blocks, BlockHandedBackIsReused) {
  blocks::releaseKept();
  const Block first = blocks::take(3 * MiB);
  std::memset(first.data, 1, first.size);
  blocks::give(first);
  EXPECT_EQ(blocks::keptBytes(), first.size);
  const Block again = blocks::take(2 * MiB);
  EXPECT_EQ(again.data, first.data);
  EXPECT_GE(again.size, 2 * MiB);
  EXPECT_EQ(blocks::keptBytes(), 0u);
  blocks::give(again);

  const Block small = blocks::take(size_t{64} * 1024);
  EXPECT_EQ(small.data, first.data);
  blocks::give(small);
  EXPECT_EQ(blocks::keptBytes(), first.size);
  blocks::releaseKept();
  EXPECT_EQ(blocks::keptBytes(), 0u);
  const Block fresh = blocks::take(size_t{64} * 1024);
  std::memset(fresh.data, 1, fresh.size);
  blocks::give(fresh);
  EXPECT_EQ(blocks::keptBytes(), fresh.size);
  EXPECT_EQ(blocks::take(size_t{64} * 1024).data, fresh.data);
  EXPECT_EQ(blocks::keptBytes(), 0u);
  blocks::give(fresh);
  blocks::releaseKept();
}

// What is kept stays within its bound, however much is handed back.
TEST(Blocks, KeptBytesStayBounded) {
  blocks::releaseKept();
  std::vector<Block> taken;
  taken.reserve(8);
  for (int i = 0; i < 8; ++i) taken.push_back(blocks::take(20 * MiB));
  for (const Block& block : taken) blocks::give(block);
  EXPECT_LE(blocks::keptBytes(), blocks::kKeptBytes);
  EXPECT_GT(blocks::keptBytes(), 0u);
  blocks::releaseKept();
}

// Growing keeps the bytes written, whether the block is remapped or swapped for a larger kept one.
TEST(Blocks, GrowKeepsContents) {
  for (const bool largerKept : {false, true}) {
    blocks::releaseKept();
    if (largerKept) blocks::give(blocks::take(16 * MiB));
    Block block = blocks::take(MiB);
    for (size_t i = 0; i < MiB; ++i) block.data[i] = static_cast<char>(i * 7);
    block = blocks::grow(block, MiB, 9 * MiB);
    ASSERT_GE(block.size, 9 * MiB);
    for (size_t i = 0; i < MiB; ++i) ASSERT_EQ(block.data[i], static_cast<char>(i * 7)) << i;
    blocks::give(block);
  }
  blocks::releaseKept();
}

// A buffer keeps its bytes as it grows from the heap onto blocks, and across moves.
TEST(BlockBuffer, AppendsAcrossTheHeapAndBlocks) {
  BlockBuffer buffer;
  std::string expected;
  for (int i = 0; expected.size() < 5 * MiB; ++i) {
    const std::string piece(static_cast<size_t>(1000 + i * 37), static_cast<char>('a' + i % 26));
    buffer.append(piece);
    expected += piece;
  }
  BlockBuffer moved = std::move(buffer);
  EXPECT_EQ(buffer.size(), 0u);  // NOLINT(bugprone-use-after-move): the moved-from state is tested
  ASSERT_EQ(moved.size(), expected.size());
  EXPECT_TRUE(moved.view() == expected);
  moved.release();
  EXPECT_EQ(moved.capacity(), 0u);
  blocks::releaseKept();
}

}  // namespace
}  // namespace mirelo
