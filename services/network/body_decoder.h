#pragma once

// Decoding of a response body's Content-Encoding (gzip, deflate) as it arrives, bounded: the
// caller says how many decoded bytes it still takes, and no more than one byte past that is ever
// inflated. One zlib stream (about 40 KiB) and a 16 KiB output buffer per body being decoded.

#include <zlib.h>

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace mirelo::services::network {

enum class Coding { identity, gzip, deflate };

// The coding a Content-Encoding value names ("gzip", "x-gzip", "deflate"; "identity" entries and
// an empty value are no coding); nullopt for anything else, two codings included.
std::optional<Coding> codingOf(std::string_view contentEncoding);

// The most encoded bytes a body of at most `decoded` bytes can take: deflate's stored blocks grow
// their data by 5 bytes in 16 KiB, gzip adds its header and trailer. More means the encoded body
// decodes to nothing useful (empty stored blocks, empty gzip members) and is refused.
size_t encodedBound(size_t decoded);

class BodyDecoder {
 public:
  enum class Result {
    more,  // everything given was decoded; the body goes on or ends here
    tooLarge,  // the decoded body would pass `room`: what passes it was not handed over
    invalid,  // not data of the coding, or bytes after its end
  };
  using Sink = std::function<void(std::string_view)>;

  // gzip or deflate. deflate is meant to be zlib-wrapped (RFC 9110), but some servers send a raw
  // deflate stream: the first two bytes tell which.
  explicit BodyDecoder(Coding coding);
  ~BodyDecoder();
  BodyDecoder(const BodyDecoder&) = delete;
  BodyDecoder& operator=(const BodyDecoder&) = delete;

  // Decodes the next piece of the encoded body, handing the decoded bytes to `sink` in pieces of
  // at most 16 KiB, at most `room` bytes in all during this call.
  Result feed(std::string_view input, size_t room, const Sink& sink);

  // At the body's end: whether the encoded data was complete (an empty body is: nothing encoded).
  bool complete() const;

  // The message for a body that was not valid, or not complete, data of the coding.
  std::string failure(Result result) const;

 private:
  bool start(bool raw);
  Result inflateSome(std::string_view input, size_t room, size_t& given, const Sink& sink);

  Coding coding_;
  z_stream stream_{};
  bool started_ = false;
  bool ended_ = false;  // the current stream (gzip member) is complete
  bool seen_ = false;  // any encoded byte arrived
  unsigned char header_[2] = {};
  size_t headerSize_ = 0;  // deflate: bytes kept until the wrapping is known
  std::array<unsigned char, size_t{16} * 1024> out_;
};

}  // namespace mirelo::services::network
