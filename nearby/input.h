#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace nearby {

// Splits standard input into lines ending in a line feed. Lines are neither trimmed nor skipped
// when empty. Once a line, or the bytes held without a line feed, pass the limit the input is
// refused as a whole: the process ends (status 2) rather than holding more.
class LineInput {
 public:
  explicit LineInput(size_t limit) : limit_(limit) {}

  // Room for a read of up to `size` bytes after the bytes held, so reads land where lines are
  // handed out from; `commit` then adds the count read.
  char* space(size_t size);
  void commit(size_t size) { end_ += size; }
  void append(const char* data, size_t size);

  enum class Result { Line, NeedMore, TooLong };
  // Line: `line()` holds the next line until the following call. NeedMore: append more bytes.
  Result next();
  std::string_view line() const { return line_; }

 private:
  size_t limit_;
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  size_t start_ = 0;    // first byte not yet returned
  size_t end_ = 0;      // end of the bytes held
  size_t scanned_ = 0;  // bytes from start_ known to hold no line feed
  std::string_view line_;
};

}  // namespace nearby
