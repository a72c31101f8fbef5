#pragma once

#include <cstddef>
#include <string_view>

namespace mirelo {

// One line taken out of a LineReader: owns its bytes, with LineReader::kPadding readable bytes
// after them (what the JSON reader needs to parse them where they lie).
class LineBytes {
 public:
  LineBytes() = default;
  explicit LineBytes(std::string_view text);  // copies
  ~LineBytes();
  LineBytes(LineBytes&& other) noexcept;
  LineBytes& operator=(LineBytes&& other) noexcept;
  LineBytes(const LineBytes&) = delete;
  LineBytes& operator=(const LineBytes&) = delete;

  const char* data() const { return base_ + offset_; }
  size_t size() const { return size_; }
  size_t capacity() const { return allocated_ - offset_; }  // readable bytes from data()
  void reset();

 private:
  friend class LineReader;
  char* base_ = nullptr;
  size_t offset_ = 0, size_ = 0, allocated_ = 0;
  size_t mapped_ = 0;  // mapped length when the bytes are a mapping taken over from the reader; 0 for new[]
};

// Splits a byte stream from a file descriptor into lines ending in "\n" or "\r\n" (the terminator
// is removed; a last line without one still counts). A line longer than `limit` is reported as
// TooLong and skipped to its end without ever being held whole, so memory stays bounded by the
// limit whatever the writer sends. A read error counts as the end of input.
//
// Framing::Exact is for a peer whose stream is over at its first fault: only "\n" ends a line and
// nothing else is removed, bytes left without one at the end of input are no line (End), and
// TooLong comes as soon as a line or the bytes held without a "\n" pass the limit (the caller
// stops reading then).
//
// On a non-blocking descriptor, Pending says that no whole line is here yet and a read would
// block: call next() again once the descriptor is readable; nothing read is lost.
class LineReader {
 public:
  enum class Result { Line, TooLong, End, Pending };
  enum class Framing { Lenient, Exact };

  // Bytes after the current line's end that are always readable (for parsers that read ahead).
  static constexpr size_t kPadding = 64;  // less than the page mapped after the buffer

  // `chunk`: the room kept free for each read; `keep`: the largest buffer kept after a line
  // (tests and fuzzing shrink both to reach every path with small inputs).
  LineReader(int fd, size_t limit, size_t chunk = size_t{64} * 1024, size_t keep = size_t{1024} * 1024,
             Framing framing = Framing::Lenient);
  virtual ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  Result next();

  // Gives back a buffer that grew for a long line, keeping the bytes read after the current line.
  // The current line is gone afterwards.
  void shrink();

  // Moves the current line (after next() returned Line) out of the reader. A line that made the
  // buffer grow takes the whole buffer with it, without a copy; a short one is copied.
  LineBytes take();

  // The current line after next() returned Line; valid until the next call.
  const char* data() const { return buffer_ + lineStart_; }
  size_t size() const { return lineSize_; }
  // Readable bytes from data(), at least size() + kPadding.
  size_t capacity() const { return capacity_ + kPadding - lineStart_; }

 protected:
  // One read of at most `size` bytes: the count read, 0 at the end, negative on an error (errno
  // EAGAIN or EWOULDBLOCK when nothing can be read yet).
  virtual long readSome(char* into, size_t size);

 private:
  enum class Fill { Read, End, Again };
  Fill fill();  // reads more bytes after `end_`
  void reserveForRead();
  void resize(size_t capacity);
  void release();
  // Moves the bytes after the current line into a fresh small buffer; the old mapping is left to
  // the caller.
  bool replaceBuffer();

  int fd_;
  size_t limit_;
  size_t chunk_;
  size_t keep_;
  Framing framing_;
  char* buffer_ = nullptr;  // mapped memory: grows in place without copying or touching it again
  size_t capacity_ = 0;  // usable bytes; kPadding more are allocated
  size_t start_ = 0;  // first byte not yet returned
  size_t end_ = 0;  // end of the bytes read
  size_t scanned_ = 0;  // bytes from start_ known to hold no "\n"
  size_t lineStart_ = 0;
  size_t lineSize_ = 0;
  bool skipping_ = false;  // the current line is past the limit; its bytes are being dropped
};

}  // namespace mirelo
