#include "line_reader.h"

#include "block_pool.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace mirelo {
namespace {

// The padding is mapped too; whole pages keep mremap's lengths exact.
size_t mappedSize(size_t capacity) { return capacity + 4096; }

}  // namespace

// A buffer that grew past `keep` for one long line is given back once that line is done.
LineReader::LineReader(int fd, size_t limit, size_t chunk, size_t keep, Framing framing)
    : fd_(fd), limit_(limit), chunk_(chunk), keep_(keep), framing_(framing) {}

LineReader::~LineReader() { release(); }

void LineReader::release() {
  if (buffer_) blocks::give({buffer_, mappedSize(capacity_)});
  buffer_ = nullptr;
  capacity_ = start_ = end_ = scanned_ = 0;
}

// Mapped memory grows with mremap (or into a warm block of the pool): a long line is neither
// copied nor faulted in twice as its buffer doubles.
void LineReader::resize(size_t capacity) {
  const Block grown = blocks::grow({buffer_, buffer_ ? mappedSize(capacity_) : 0}, end_, mappedSize(capacity));
  buffer_ = grown.data;
  capacity_ = grown.size - mappedSize(0);
}

void LineReader::reserveForRead() {
  if (start_ == end_) start_ = end_ = scanned_ = 0;
  if (capacity_ - end_ >= chunk_) return;
  const size_t pending = end_ - start_;
  if (start_ > 0) {
    std::memmove(buffer_, buffer_ + start_, pending);
    end_ = pending;
    start_ = 0;
  }
  if (capacity_ - end_ >= chunk_) return;
  size_t capacity = capacity_ ? capacity_ : chunk_;
  while (capacity < end_ + chunk_) capacity *= 2;
  resize(capacity);
}

long LineReader::readSome(char* into, size_t size) { return ::read(fd_, into, size); }

LineReader::Fill LineReader::fill() {
  reserveForRead();
  for (;;) {
    const long n = readSome(buffer_ + end_, capacity_ - end_);
    if (n > 0) {
      end_ += static_cast<size_t>(n);
      return Fill::Read;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Fill::Again;
    return Fill::End;
  }
}

bool LineReader::replaceBuffer() {
  const size_t pending = end_ - start_;
  // Bytes of the next lines may already be here (a pipe read holds up to 1 MiB): the new
  // buffer holds them all and still has a chunk free for the next read.
  size_t capacity = chunk_;
  while (capacity < pending + chunk_) capacity *= 2;
  const Block fresh = blocks::take(mappedSize(capacity));
  if (pending) std::memcpy(fresh.data, buffer_ + start_, pending);
  buffer_ = fresh.data;
  capacity_ = fresh.size - mappedSize(0);
  start_ = lineStart_ = lineSize_ = 0;
  end_ = pending;
  scanned_ = 0;
  return true;
}

void LineReader::shrink() {
  if (capacity_ <= keep_) return;
  char* old = buffer_;
  const size_t oldSize = mappedSize(capacity_);
  if (!replaceBuffer()) return;  // keep the big one; nothing is lost
  blocks::give({old, oldSize});
}

LineBytes LineReader::take() {
  LineBytes line;
  if (capacity_ > keep_) {
    char* old = buffer_;
    const size_t oldSize = mappedSize(capacity_);
    const size_t offset = lineStart_, size = lineSize_;
    if (replaceBuffer()) {
      line.base_ = old;
      line.offset_ = offset;
      line.size_ = size;
      line.allocated_ = line.mapped_ = oldSize;
      return line;
    }
  }
  return LineBytes(std::string_view(data(), size()));
}

LineBytes::LineBytes(std::string_view text)
    : base_(new char[text.size() + LineReader::kPadding]),
      size_(text.size()),
      allocated_(text.size() + LineReader::kPadding) {
  std::memcpy(base_, text.data(), text.size());
  std::memset(base_ + text.size(), 0, LineReader::kPadding);
}

LineBytes::~LineBytes() { reset(); }

void LineBytes::reset() {
  if (mapped_) {
    blocks::give({base_, mapped_});
  } else {
    delete[] base_;
  }
  base_ = nullptr;
  offset_ = size_ = allocated_ = mapped_ = 0;
}

LineBytes::LineBytes(LineBytes&& other) noexcept { *this = std::move(other); }

LineBytes& LineBytes::operator=(LineBytes&& other) noexcept {
  if (this != &other) {
    reset();
    base_ = other.base_;
    offset_ = other.offset_;
    size_ = other.size_;
    allocated_ = other.allocated_;
    mapped_ = other.mapped_;
    other.base_ = nullptr;
    other.offset_ = other.size_ = other.allocated_ = other.mapped_ = 0;
  }
  return *this;
}

LineReader::Result LineReader::next() {
  if (start_ == end_ && capacity_ > keep_) release();
  for (;;) {
    const char* from = buffer_ + start_ + scanned_;
    const size_t unscanned = end_ - start_ - scanned_;
    const void* newline = unscanned ? std::memchr(from, '\n', unscanned) : nullptr;
    if (newline) {
      const size_t length = static_cast<const char*>(newline) - (buffer_ + start_);
      lineStart_ = start_;
      start_ += length + 1;
      scanned_ = 0;
      if (skipping_) {
        skipping_ = false;
        return Result::TooLong;
      }
      lineSize_ = length;
      if (framing_ == Framing::Lenient && lineSize_ && buffer_[lineStart_ + lineSize_ - 1] == '\r') --lineSize_;
      return lineSize_ > limit_ ? Result::TooLong : Result::Line;
    }
    scanned_ += unscanned;
    if (framing_ == Framing::Exact && end_ - start_ > limit_) return Result::TooLong;
    // One byte over the limit may still be the "\r" of a "\r\n".
    if (end_ - start_ > limit_ + 1) {
      skipping_ = true;
      start_ = end_ = scanned_ = 0;
    }
    const Fill filled = fill();
    if (filled == Fill::Again) return Result::Pending;
    if (filled == Fill::End) {
      if (skipping_) {
        skipping_ = false;
        start_ = end_ = scanned_ = 0;
        return Result::TooLong;
      }
      if (start_ == end_ || framing_ == Framing::Exact) return Result::End;
      lineStart_ = start_;
      lineSize_ = end_ - start_;
      start_ = end_;
      scanned_ = 0;
      return lineSize_ > limit_ ? Result::TooLong : Result::Line;
    }
  }
}

}  // namespace mirelo
