#pragma once

// Memory for the big buffers of one embed, asked to be backed by huge pages: a few faults per
// buffer instead of one per 4 KiB, and never zero-filled by us. Used by one thread at a time.

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace mirelo::services::roomcard::watermark {

class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { std::free(data_); }
  // At least `size` bytes; the contents are kept only when nothing had to be allocated.
  uint8_t* reserve(size_t size) {
    if (size > capacity_) {
      std::free(data_);
      constexpr size_t huge = size_t{2} << 20;
      capacity_ = (size + huge - 1) / huge * huge;
      data_ = static_cast<uint8_t*>(std::aligned_alloc(huge, capacity_));
      if (!data_) {
        capacity_ = 0;
        throw std::bad_alloc();
      }
      ::madvise(data_, capacity_, MADV_HUGEPAGE);
    }
    return data_;
  }
  uint8_t* data() const { return data_; }
  // Hands the memory over (to be given back with std::free); the buffer is empty after.
  uint8_t* release() {
    capacity_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  uint8_t* data_ = nullptr;
  size_t capacity_ = 0;
};

}  // namespace mirelo::services::roomcard::watermark
