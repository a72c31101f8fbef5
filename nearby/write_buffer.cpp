// Decoded sends (see write_buffer.h).
#include "write_buffer.h"

#include <utility>

#include "base64.h"
#include "block_pool.h"
#include "bounds.h"

namespace nearby {
namespace {

// Writes past this size take a block of the pool.
constexpr size_t kPooledWrite = 65'536;

}  // namespace

WriteBuffer WriteBuffer::decode(std::string_view base64) {
  WriteBuffer bytes;
  const size_t size = mirelo::base64DecodedSize(base64);
  if (size == 0 || size > maxWrite) return bytes;
  if (size > kPooledWrite) {
    const mirelo::Block block = mirelo::blocks::take(maxWrite);
    bytes.data_ = block.data;
    bytes.block_ = block.size;
  } else {
    bytes.data_ = new char[size];
  }
  bytes.size_ = size;
  if (!mirelo::base64DecodeTo(base64, bytes.data_)) return {};
  return bytes;
}

WriteBuffer::WriteBuffer(WriteBuffer&& other) noexcept { *this = std::move(other); }

WriteBuffer& WriteBuffer::operator=(WriteBuffer&& other) noexcept {
  if (this != &other) {
    release();
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(block_, other.block_);
  }
  return *this;
}

void WriteBuffer::release() {
  if (block_) {
    mirelo::blocks::give({data_, block_});
  } else {
    delete[] data_;
  }
  data_ = nullptr;
  size_ = block_ = 0;
}

}  // namespace nearby
