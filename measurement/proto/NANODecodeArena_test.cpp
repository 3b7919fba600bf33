// The blocks a decode cuts from its chunks: each released on its own, in any
// order and on any thread, the chunk kept for as long as one of its blocks
// lives. Leaked or twice-freed chunks fail the sanitizer build.
#include "measurement/proto/NANODecodeArena.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "measurement/proto/NANOFieldHelpers.h"
#include "measurement/proto/NANOTestRecords.h"
#include "measurement/proto/generated/MeasurementMessages.h"

namespace {

bool isChunkBlock(const void* block) { return reinterpret_cast<uintptr_t>(block) % 16 == 8; }

TEST(NANODecodeArena, BlocksOfADecodeShareChunksAndAreReleasedInAnyOrder) {
  std::vector<uint8_t*> blocks;
  {
    NANODecodeArena arena(64);
    // Enough blocks of assorted sizes to fill several chunks.
    for (size_t i = 0; i < 600; ++i) {
      size_t size = i % 7 == 0 ? 0 : (i * 37) % 300;
      auto* block = static_cast<uint8_t*>(NANODecodeArena::allocate(size));
      ASSERT_NE(block, nullptr);
      EXPECT_TRUE(isChunkBlock(block)) << i;
      std::memset(block, static_cast<int>(i), size);
      blocks.push_back(block);
    }
    void* large = NANODecodeArena::allocate(64 << 10);
    EXPECT_FALSE(isChunkBlock(large)) << "a large block comes from the heap";
    NANOFree(large);
  }
  // No block overwrote another, and none moved when the arena ended.
  for (size_t i = 0; i < blocks.size(); ++i) {
    size_t size = i % 7 == 0 ? 0 : (i * 37) % 300;
    for (size_t k = 0; k < size; ++k) ASSERT_EQ(blocks[i][k], static_cast<uint8_t>(i)) << i;
  }
  // Every other block from the front, then the rest from the back.
  for (size_t i = 0; i < blocks.size(); i += 2) NANOFree(blocks[i]);
  for (size_t i = blocks.size(); i-- > 0;) {
    if (i % 2 == 1) NANOFree(blocks[i]);
  }

  // Without an arena, blocks are the heap's.
  void* block = NANODecodeArena::allocate(16);
  EXPECT_FALSE(isChunkBlock(block));
  NANOFree(block);
}

TEST(NANODecodeArena, OnlyTheOutermostArenaIsActive) {
  NANODecodeArena outer(100);
  void* first = NANODecodeArena::allocate(8);
  {
    NANODecodeArena inner(100);
    void* second = NANODecodeArena::allocate(8);
    EXPECT_EQ(static_cast<char*>(second) - static_cast<char*>(first), 16) << "cut next to the outer arena's block";
    NANOFree(second);
  }
  void* third = NANODecodeArena::allocate(8);
  EXPECT_TRUE(isChunkBlock(third)) << "the outer arena outlives the inner one";
  NANOFree(first);
  NANOFree(third);
}

TEST(NANODecodeArena, GrowingKeepsTheContent) {
  struct Case {
    const char* what;
    bool arena;     // still active when the block grows
    bool cutAfter;  // another block cut behind the one that grows
    size_t to;
    bool samePlace;
    bool chunkBlock;
  } cases[] = {
      {"the last block grows where it lies", true, false, 200, true, true},
      {"a block with another behind it moves", true, true, 200, false, true},
      {"beyond the largest block it moves to the heap", true, false, 64 << 10, false, false},
      {"without an arena it moves to the heap", false, false, 200, false, false},
  };
  static const char kContent[] = "twenty-three characters";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    void* block;
    void* behind = nullptr;
    void* grown;
    {
      std::optional<NANODecodeArena> arena(std::in_place, 1000);
      block = NANODecodeArena::allocate(sizeof kContent);
      std::memcpy(block, kContent, sizeof kContent);
      if (c.cutAfter) behind = NANODecodeArena::allocate(8);
      if (!c.arena) arena.reset();
      grown = NANODecodeArena::grow(block, sizeof kContent, c.to);
    }
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(grown == block, c.samePlace);
    EXPECT_EQ(isChunkBlock(grown), c.chunkBlock);
    EXPECT_EQ(std::memcmp(grown, kContent, sizeof kContent), 0);
    std::memset(static_cast<char*>(grown) + sizeof kContent, 0, c.to - sizeof kContent);
    NANOFree(grown);
    NANOFree(behind);
  }
}

int32_t idOf(const NANOMessageSchema* schema, uint32_t tag) {
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    if (schema->fields[i].tag == tag) return i;
  }
  ADD_FAILURE() << "no field " << tag << " in " << schema->name;
  return 0;
}

// A record taken out of a decoded tree keeps the chunks it lies in when the
// rest of the tree is changed and freed, here on another thread than the one
// that decoded it.
TEST(NANODecodeArena, ARecordTakenFromADecodedTreeOutlivesTheTree) {
  Record filled = FilledRecord(&MeasurementBundle_schema, 3);
  const int32_t events = idOf(&MeasurementBundle_schema, 2);
  ASSERT_GE(List(filled.get(), events)->count, 2u);
  auto* firstEvent = static_cast<NANOMessageInfo*>(List(filled.get(), events)->items[0]);
  const Bytes eventBytes = Encoded(&Event_schema, firstEvent);
  const Bytes bytes = Encoded(&MeasurementBundle_schema, filled.get());

  Record bundle(nullptr, {&MeasurementBundle_schema});
  std::thread([&] { bundle = Decoded(&MeasurementBundle_schema, bytes); }).join();
  ASSERT_TRUE(bundle);
  NANOArray* list = List(bundle.get(), events);
  auto* event = static_cast<NANOMessageInfo*>(list->items[0]);
  list->items[0] = nullptr;
  // Heap blocks and chunk blocks side by side in what is freed.
  ASSERT_TRUE(NANOSetStringValue(&bundle->fields[idOf(&MeasurementBundle_schema, 8)], "replaced", 8));
  ASSERT_TRUE(NANODeallocMessageField(&MeasurementBundle_schema, bundle.get(), idOf(&MeasurementBundle_schema, 3)));
  bundle.reset();

  EXPECT_EQ(Encoded(&Event_schema, event), eventBytes);
  NANODeallocMessageInfo(&Event_schema, event);
}

// The budget is charged block by block as if each came from the heap: a
// decode charges what a deep copy of its record (made on the heap) charges,
// less the copy's own record.
TEST(NANODecodeArena, ADecodeChargesItsBudgetAsTheHeapWould) {
  Record filled = FilledRecord(&MeasurementBundle_schema, 3);
  const Bytes bytes = Encoded(&MeasurementBundle_schema, filled.get());
  Record decoded = NewRecord(&MeasurementBundle_schema);
  size_t decodeCharge;
  {
    NANODecodeBudget budget(bytes.size());
    ASSERT_TRUE(NANODecodeMessage(&MeasurementBundle_schema, bytes.data(), bytes.size(), decoded.get()));
    decodeCharge = NANODecodeBudget::used();
  }
  size_t copyCharge;
  {
    NANODecodeBudget budget(bytes.size());
    NANOMessageInfo* copy = nullptr;
    ASSERT_TRUE(NANOCopyMessageInfo(&MeasurementBundle_schema, &copy, decoded.get()));
    copyCharge = NANODecodeBudget::used();
    NANODeallocMessageInfo(&MeasurementBundle_schema, copy);
  }
  size_t recordCharge;
  {
    NANODecodeBudget budget(0);
    NANOMessageInfo* record = NANONewMessageInfo(&MeasurementBundle_schema);
    recordCharge = NANODecodeBudget::used();
    NANODeallocMessageInfo(&MeasurementBundle_schema, record);
  }
  EXPECT_GT(decodeCharge, bytes.size());
  EXPECT_EQ(decodeCharge + recordCharge, copyCharge);
}

#if defined(__SANITIZE_ADDRESS__)
TEST(NANODecodeArenaDeathTest, ReleasedBlocksAndSpareRoomCannotBeRead) {
  auto readAt = [](size_t offset, bool release) {
    NANODecodeArena arena(100);
    auto* block = static_cast<volatile char*>(NANODecodeArena::allocate(12));
    void* behind = NANODecodeArena::allocate(8);
    if (release) NANOFree(const_cast<char*>(block));
    char value = block[offset];
    NANOFree(behind);
    return value;
  };
  EXPECT_DEATH(readAt(0, true), "use-after-poison");
  EXPECT_DEATH(readAt(12, false), "use-after-poison");
}
#endif

}  // namespace
