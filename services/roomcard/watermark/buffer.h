#pragma once

// The big buffers of one embed (drawings, the card's pixels, each thread's JPEG bytes and decoded
// copies), on the block pool (common/block_pool.h): never zero-filled, advised for huge pages,
// and kept warm for the next embed. Used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <utility>

#include "block_pool.h"

namespace mirelo::services::roomcard::watermark {

class Buffer {
 public:
  // At least `size` bytes; the contents are not to be relied on after a call that grows it.
  uint8_t* reserve(size_t size) {
    buffer_.reserve(size);
    return data();
  }
  uint8_t* data() { return reinterpret_cast<uint8_t*>(buffer_.data()); }
  const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(buffer_.data()); }
  // Hands the memory over; the buffer is empty after.
  BlockBuffer release() { return std::move(buffer_); }

 private:
  BlockBuffer buffer_;
};

}  // namespace mirelo::services::roomcard::watermark
