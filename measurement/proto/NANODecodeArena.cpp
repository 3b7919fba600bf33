// A chunk: a 16-byte header counting the blocks still held in it (and one
// more while it is the arena's current chunk), then the blocks, each behind
// an 8-byte header giving its distance from the chunk and its room.
#include "measurement/proto/NANODecodeArena.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "measurement/proto/NANOFieldHelpers.h"

#if defined(__SANITIZE_ADDRESS__)
#define TOLV_ARENA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOLV_ARENA_ASAN 1
#endif
#endif

#ifdef TOLV_ARENA_ASAN
#include <sanitizer/asan_interface.h>
// Room not handed out, and blocks released, stay unreadable, so that a use
// after free inside a chunk is caught as it is on the heap.
#define TOLV_POISON(at, size) ASAN_POISON_MEMORY_REGION(at, size)
#define TOLV_UNPOISON(at, size) ASAN_UNPOISON_MEMORY_REGION(at, size)
#else
#define TOLV_POISON(at, size) ((void)(at), (void)(size))
#define TOLV_UNPOISON(at, size) ((void)(at), (void)(size))
#endif

struct NANODecodeArenaChunk {
  uint64_t held;
  uint64_t size;
};

namespace {

thread_local NANODecodeArena* activeArena = nullptr;

static_assert(alignof(std::max_align_t) == 16 && sizeof(NANODecodeArenaChunk) == 16);

// Blocks larger than this come from malloc: cutting them would leave chunks
// half used, and the malloc is small beside copying that many bytes.
constexpr size_t kLargestBlock = 4096;
// A decode's chunks start at a few times its input (a decoded tree takes
// about eight times its encoding) and double, within these bounds.
constexpr size_t kFirstChunkPerInputByte = 4;
constexpr size_t kSmallestChunk = 256;
constexpr size_t kLargestChunk = size_t{1} << 20;

struct BlockHeader {
  uint32_t offset;  // from the chunk's start to the block
  uint32_t room;    // bytes the block may use
};
static_assert(sizeof(BlockHeader) == 8);

bool isChunkBlock(const void* block) { return (reinterpret_cast<uintptr_t>(block) & 15) == 8; }

// A heap block must never start where a chunk's blocks do. Every malloc
// aligns blocks of 16 bytes or more to 16, but some (jemalloc, tcmalloc) align
// smaller ones to 8 only: blocks are asked for 16 bytes at least, and one that
// still lands 8 past a boundary is moved.
size_t heapSize(size_t size) { return std::max<size_t>(size, 16); }

void* alignedCopy(void* block, size_t size, size_t keep) {
  void* aligned = std::aligned_alloc(16, (heapSize(size) + 15) & ~size_t{15});
  if (aligned != nullptr && keep != 0) std::memcpy(aligned, block, keep);
  return aligned;
}

void* heapBlock(size_t size) {
  void* block = std::malloc(heapSize(size));
  if (block == nullptr || !isChunkBlock(block)) return block;
  void* aligned = alignedCopy(block, size, 0);
  std::free(block);
  return aligned;
}

// Like realloc; the old block stays when this fails.
void* growHeapBlock(void* block, size_t oldSize, size_t newSize) {
  void* grown = std::realloc(block, heapSize(newSize));
  if (grown == nullptr || !isChunkBlock(grown)) return grown;
  void* aligned = alignedCopy(grown, newSize, std::min(oldSize, newSize));
  if (aligned == nullptr) return nullptr;
  std::free(grown);
  return aligned;
}

BlockHeader* headerOf(void* block) { return static_cast<BlockHeader*>(block) - 1; }

// What a block of that size takes in a chunk, its header included: a
// multiple of 16, so that the next block again starts 8 past a boundary.
size_t footprint(size_t size) { return (sizeof(BlockHeader) + std::max<size_t>(size, 1) + 15) & ~size_t{15}; }

void release(NANODecodeArenaChunk* chunk) {
  if (--chunk->held != 0) return;
  TOLV_UNPOISON(chunk, chunk->size);
  std::free(chunk);
}

}  // namespace

NANODecodeArena::NANODecodeArena(size_t inputLength) {
  if (activeArena != nullptr) return;
  active_ = true;
  size_t first = inputLength < kLargestChunk / kFirstChunkPerInputByte ? inputLength * kFirstChunkPerInputByte
                                                                       : kLargestChunk;
  nextChunkSize_ = std::max(first, kSmallestChunk);
  activeArena = this;
}

NANODecodeArena::~NANODecodeArena() {
  if (!active_) return;
  activeArena = nullptr;
  if (chunk_ != nullptr) release(chunk_);
}

bool NANODecodeArena::refill(size_t need) {
  // No chunk is larger than what the decode's budget still allows (every
  // block is charged at least its footprint), so that the chunks hold little
  // more than the budget.
  size_t size = nextChunkSize_;
  if (size_t limit = NANODecodeBudget::activeLimit(); limit != 0) {
    size = std::min(size, limit - std::min(limit, NANODecodeBudget::used()));
  }
  size = std::max(size, sizeof(NANODecodeArenaChunk) + need);
  auto* chunk = static_cast<NANODecodeArenaChunk*>(std::malloc(size));
  if (chunk == nullptr) return false;
  chunk->held = 1;
  chunk->size = size;
  if (chunk_ != nullptr) release(chunk_);
  chunk_ = chunk;
  next_ = reinterpret_cast<char*>(chunk + 1);
  end_ = reinterpret_cast<char*>(chunk) + size;
  last_ = nullptr;
  TOLV_POISON(next_, end_ - next_);
  nextChunkSize_ = std::min(size * 2, kLargestChunk);
  return true;
}

void* NANODecodeArena::cut(size_t size) {
  if (size > kLargestBlock) return heapBlock(size);
  size_t need = footprint(size);
  if (need > static_cast<size_t>(end_ - next_) && !refill(need)) return nullptr;
  auto* header = reinterpret_cast<BlockHeader*>(next_);
  next_ += need;
  char* block = reinterpret_cast<char*>(header + 1);
  TOLV_UNPOISON(header, sizeof(BlockHeader) + size);
  header->offset = static_cast<uint32_t>(block - reinterpret_cast<char*>(chunk_));
  header->room = static_cast<uint32_t>(need - sizeof(BlockHeader));
  ++chunk_->held;
  last_ = block;
  return block;
}

void* NANODecodeArena::allocate(size_t size) {
  if (activeArena != nullptr) return activeArena->cut(size);
  return heapBlock(size);
}

void* NANODecodeArena::grow(void* block, size_t oldSize, size_t newSize) {
  if (block == nullptr) return allocate(newSize);
  if (!isChunkBlock(block)) {
    // Large blocks stay on the heap as they grow.
    if (activeArena == nullptr || newSize > kLargestBlock) return growHeapBlock(block, oldSize, newSize);
  } else if (NANODecodeArena* arena = activeArena; arena != nullptr && block == arena->last_) {
    BlockHeader* header = headerOf(block);
    size_t need = footprint(newSize);
    if (reinterpret_cast<char*>(header) + need <= arena->end_) {
      arena->next_ = reinterpret_cast<char*>(header) + need;
      header->room = static_cast<uint32_t>(need - sizeof(BlockHeader));
      TOLV_UNPOISON(block, newSize);
      return block;
    }
  }
  void* grown = allocate(newSize);
  if (grown == nullptr) return nullptr;
  std::memcpy(grown, block, std::min(oldSize, newSize));
  NANOFree(block);
  return grown;
}

void NANOFree(void* block) {
  if (block == nullptr) return;
  if (!isChunkBlock(block)) {
    std::free(block);
    return;
  }
  BlockHeader* header = headerOf(block);
  auto* chunk = reinterpret_cast<NANODecodeArenaChunk*>(static_cast<char*>(block) - header->offset);
  TOLV_POISON(block, header->room);
  release(chunk);
}
