#pragma once

// The bytes of one decoded send, on their way into a socket. Up to 64 KiB they are on the heap;
// larger ones are in a block of the pool (common/block_pool.h) of one size, maxWrite, so every
// block kept fits the next large send and its pages are warm: a fresh buffer would be mapped and
// faulted in on every send. Move-only; the block goes back to the pool with the buffer.

#include <cstddef>
#include <string_view>

namespace nearby {

class WriteBuffer {
 public:
  // The bytes of `base64` when it decodes to a non-empty write of at most maxWrite bytes, else
  // an empty buffer.
  static WriteBuffer decode(std::string_view base64);

  WriteBuffer() = default;
  ~WriteBuffer() { release(); }
  WriteBuffer(WriteBuffer&& other) noexcept;
  WriteBuffer& operator=(WriteBuffer&& other) noexcept;
  WriteBuffer(const WriteBuffer&) = delete;
  WriteBuffer& operator=(const WriteBuffer&) = delete;

  explicit operator bool() const { return data_ != nullptr; }
  const char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  void release();

  char* data_ = nullptr;
  size_t size_ = 0;
  size_t block_ = 0;  // the block's size when it is one of the pool's, 0 for the heap
};

}  // namespace nearby
