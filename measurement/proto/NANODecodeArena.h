// Where a decode's blocks come from. A decoded tree is thousands of small
// blocks (records, strings, list cells) made in one go and mostly freed in one
// go; taking each from malloc and giving each back cost a third of a decode.
// While a decode runs, its blocks are cut from a few large chunks instead.
//
// Every block is still released on its own, in any order (NANOFree), so a
// decoded record behaves as any other: its fields can be replaced, cleared or
// freed one by one. A chunk goes back to the heap when the last of its blocks
// is released; until then a block that lives on keeps its whole chunk. The
// blocks of one decode share chunks, so a decoded tree is freed by one thread
// at a time (as it is used by one thread at a time).
//
// A chunk's blocks start 8 bytes past a 16-byte boundary, where no malloc
// block ever starts: NANOFree tells the two apart by the address alone.
#pragma once

#include <cstddef>

struct NANODecodeArenaChunk;

class NANODecodeArena {
 public:
  // Active for the outermost decode on a thread (one made while another is
  // active stays inactive); its first chunk is sized from the input.
  explicit NANODecodeArena(size_t inputLength);
  ~NANODecodeArena();
  NANODecodeArena(const NANODecodeArena&) = delete;
  NANODecodeArena& operator=(const NANODecodeArena&) = delete;

  // A block of at least `size` bytes, not zero-filled: from the arena active
  // on this thread, else (and for large blocks) from malloc. NULL when out of
  // memory. Released with NANOFree.
  static void* allocate(size_t size);
  // A block of `newSize` bytes holding the first `oldSize` bytes of `block`
  // (NULL or a block of allocate or grow), grown where it lies when it is
  // the last block cut. NULL when out of memory; the old block stays then.
  static void* grow(void* block, size_t oldSize, size_t newSize);

 private:
  bool refill(size_t need);
  void* cut(size_t size);

  bool active_ = false;
  NANODecodeArenaChunk* chunk_ = nullptr;
  char* next_ = nullptr;
  char* end_ = nullptr;
  char* last_ = nullptr;  // the block cut last, while it is the chunk's last
  size_t nextChunkSize_ = 0;
};

// Releases a block the runtime allocated (from malloc or from a decode's
// chunk); NULL is ignored.
void NANOFree(void* block);
