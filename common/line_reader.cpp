#include "line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mirelo {
namespace {

constexpr size_t kChunk = 64 * 1024;
// A buffer that grew for one long line is given back once that line is done.
constexpr size_t kKeepCapacity = 1024 * 1024;

}  // namespace

LineReader::LineReader(int fd, size_t limit) : fd_(fd), limit_(limit) {}

LineReader::~LineReader() = default;

void LineReader::reserveForRead() {
  if (start_ == end_) start_ = end_ = scanned_ = 0;
  if (capacity_ - end_ >= kChunk) return;
  const size_t pending = end_ - start_;
  if (start_ > 0 && capacity_ - pending >= kChunk && pending <= capacity_ / 2) {
    std::memmove(buffer_.get(), buffer_.get() + start_, pending);
  } else {
    size_t capacity = capacity_ ? capacity_ : kChunk;
    while (capacity - pending < kChunk) capacity *= 2;
    std::unique_ptr<char[]> grown(new char[capacity + kPadding]);
    if (pending) std::memcpy(grown.get(), buffer_.get() + start_, pending);
    buffer_ = std::move(grown);
    capacity_ = capacity;
  }
  end_ = pending;
  start_ = 0;
}

bool LineReader::fill() {
  reserveForRead();
  for (;;) {
    const ssize_t n = ::read(fd_, buffer_.get() + end_, capacity_ - end_);
    if (n > 0) {
      end_ += static_cast<size_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

LineReader::Result LineReader::next() {
  if (start_ == end_ && capacity_ > kKeepCapacity) {
    buffer_.reset();
    capacity_ = start_ = end_ = scanned_ = 0;
  }
  bool skipping = false;  // the current line is past the limit; its bytes are being dropped
  for (;;) {
    const char* from = buffer_.get() + start_ + scanned_;
    const size_t unscanned = end_ - start_ - scanned_;
    const void* newline = unscanned ? std::memchr(from, '\n', unscanned) : nullptr;
    if (newline) {
      const size_t length = static_cast<const char*>(newline) - (buffer_.get() + start_);
      lineStart_ = start_;
      start_ += length + 1;
      scanned_ = 0;
      if (skipping) return Result::TooLong;
      lineSize_ = length;
      if (lineSize_ && buffer_[lineStart_ + lineSize_ - 1] == '\r') --lineSize_;
      return lineSize_ > limit_ ? Result::TooLong : Result::Line;
    }
    scanned_ += unscanned;
    // One byte over the limit may still be the "\r" of a "\r\n".
    if (end_ - start_ > limit_ + 1) {
      skipping = true;
      start_ = end_ = scanned_ = 0;
    }
    if (!fill()) {
      if (skipping) {
        start_ = end_ = scanned_ = 0;
        return Result::TooLong;
      }
      if (start_ == end_) return Result::End;
      lineStart_ = start_;
      lineSize_ = end_ - start_;
      start_ = end_;
      scanned_ = 0;
      return lineSize_ > limit_ ? Result::TooLong : Result::Line;
    }
  }
}

}  // namespace mirelo
