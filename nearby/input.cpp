#include "input.h"

#include <cstring>

namespace nearby {

void LineInput::append(const char* data, size_t size) {
  if (start_ > 0 && start_ * 2 >= buffer_.size()) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(data, size);
}

LineInput::Result LineInput::next() {
  const char* base = buffer_.data() + start_;
  size_t held = buffer_.size() - start_;
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
