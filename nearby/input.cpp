#include "input.h"

#include <algorithm>
#include <cstring>

namespace nearby {

char* LineInput::space(size_t size) {
  // Lines already handed out are gone once more is read: the bytes of a line in progress move to
  // the front only when the room after them is too small, so a line is moved at most once or twice.
  if (start_ == end_) {
    start_ = end_ = 0;
  } else if (capacity_ - end_ < size && start_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  if (capacity_ - end_ < size) {
    const size_t capacity = std::max(capacity_ * 2, end_ + size);
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (end_ > start_) std::memcpy(grown.get(), buffer_.get() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
    buffer_ = std::move(grown);
    capacity_ = capacity;
  }
  return buffer_.get() + end_;
}

void LineInput::append(const char* data, size_t size) {
  if (size == 0) return;
  std::memcpy(space(size), data, size);
  commit(size);
}

LineInput::Result LineInput::next() {
  const char* base = buffer_.get() + start_;
  size_t held = end_ - start_;
  const void* feed = scanned_ < held ? std::memchr(base + scanned_, '\n', held - scanned_) : nullptr;
  if (!feed) {
    scanned_ = held;
    return held > limit_ ? Result::TooLong : Result::NeedMore;
  }
  size_t length = static_cast<size_t>(static_cast<const char*>(feed) - base);
  if (length > limit_) return Result::TooLong;
  line_ = std::string_view(base, length);
  start_ += length + 1;
  scanned_ = 0;
  return Result::Line;
}

}  // namespace nearby
