// The body of one HTTP response on its way into the reply line: decoded as it arrives when it has
// a Content-Encoding (body_decoder.h), counted against the request's limit and the room left over
// all requests, and written as Base64 with "/" escaped straight into the line, whole groups of
// three bytes at a time. The line is sized once from a declared length, else grown geometrically,
// never zero-filled; no other copy of the body is kept. One pass over the body, two when it is
// decoded. One request's, on the network thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "block_pool.h"
#include "body_decoder.h"

namespace mirelo::services::network {

class ResponseBody {
 public:
  enum class Taken { ok, tooLarge, invalid };

  explicit ResponseBody(size_t limit) : limit_(limit) {}

  // At the head. False when `codings` (the Content-Encoding values, each followed by ",") name
  // what we cannot decode; else the decoder, if one is needed, is ready.
  bool decodes(std::string_view codings);
  // Whether a declared length fits the limit (the encoded body's bound, when it is decoded).
  bool admits(std::optional<uint64_t> declared) const;
  // Starts the line: `prefix` (the reply's own head), then the body's member.
  void begin(std::string prefix, std::optional<uint64_t> declared);

  // The next piece as it came; `room` is what all live requests may still take together.
  Taken take(std::string_view piece, size_t room);
  size_t received() const { return received_; }  // decoded bytes taken
  // Why the body is no valid data of its coding, once `take` said `invalid`.
  std::string invalidText() const;
  // At the end: why a decoded body stopped inside its data; nullopt when it is whole.
  std::optional<std::string> unfinished() const;

  // The line ended with the status, ready for Reply::succeedLine; `release` after.
  BlockBuffer& end(int64_t status);
  void release() { line_.release(); }

 private:
  void count(std::string_view piece);
  void encode(std::string_view piece);

  size_t limit_;
  size_t received_ = 0;  // body bytes, decoded
  size_t encoded_ = 0;  // body bytes as they came, while a Content-Encoding is decoded
  std::unique_ptr<BodyDecoder> decoder_;
  BlockBuffer line_;
  unsigned char carry_[2];  // body bytes after the last whole group of three, not yet encoded
  size_t carried_ = 0;
};

}  // namespace mirelo::services::network
