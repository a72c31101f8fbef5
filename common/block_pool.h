#pragma once

#include <cstddef>
#include <string_view>

namespace mirelo {

// Large buffers as anonymous mappings, kept warm between uses. A fresh page costs a fault and
// the kernel's zeroing on first touch; a mapping handed back is kept (up to kKeptBytes in all) and
// handed out again, so a second large request touches pages that are already there. Kept blocks
// are unmapped after kIdleRelease without large work. Blocks of 2 MiB or more are advised for
// transparent huge pages.
//
// Callable from any thread. Contents of a block are undefined when it is handed out (never
// zero-filled by us): a caller writes before it reads.
struct Block {
  char* data = nullptr;
  size_t size = 0;  // the whole mapping, at least what was asked for
  explicit operator bool() const { return data != nullptr; }
};

namespace blocks {

constexpr size_t kKeptBytes = size_t{96} << 20;
constexpr int kIdleReleaseSeconds = 3;

// A block of at least `minimum` bytes (never null: out of memory aborts, as new[] would).
Block take(size_t minimum);
// The same block grown to at least `minimum` bytes, its first `used` bytes kept; may move.
Block grow(Block block, size_t used, size_t minimum);
// Hands a block back (null is ignored).
void give(Block block);
// Unmaps every kept block now (tests; a process about to idle for long).
void releaseKept();
// Bytes of the kept blocks (tests).
size_t keptBytes();

}  // namespace blocks

// A growable byte buffer, never zero-filled, move-only: below kPooledBytes on the heap, from there
// on a block of the pool (given back when destroyed).
class BlockBuffer {
 public:
  static constexpr size_t kPooledBytes = size_t{1} << 20;

  BlockBuffer() = default;
  explicit BlockBuffer(size_t capacity) { reserve(capacity); }
  ~BlockBuffer() { release(); }
  BlockBuffer(BlockBuffer&& other) noexcept;
  BlockBuffer& operator=(BlockBuffer&& other) noexcept;
  BlockBuffer(const BlockBuffer&) = delete;
  BlockBuffer& operator=(const BlockBuffer&) = delete;

  char* data() { return data_; }
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  std::string_view view() const { return {data_, size_}; }
  // Room for at least `capacity` bytes in all; grows geometrically, keeping the contents.
  void reserve(size_t capacity);
  char* end() { return data_ + size_; }
  // After writing `count` bytes at end().
  void commit(size_t count) { size_ += count; }
  void append(std::string_view bytes);
  void clear() { size_ = 0; }
  // Gives the memory back now.
  void release();

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace mirelo
