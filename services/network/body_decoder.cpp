// Streaming gzip and deflate decoding of response bodies with zlib, bounded by the caller's room.
#include "body_decoder.h"

#include <algorithm>
#include <cstring>

namespace mirelo::services::network {
namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool equalsLower(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() && std::equal(text.begin(), text.end(), lower.begin(), [](char a, char b) {
           return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
         });
}

// RFC 1950: compression method 8, a window of at most 32 KiB, and a header check.
bool zlibWrapped(const unsigned char header[2]) {
  return (header[0] & 0x0f) == 8 && (header[0] >> 4) <= 7 && ((header[0] << 8) | header[1]) % 31 == 0;
}

}  // namespace

std::optional<Coding> codingOf(std::string_view contentEncoding) {
  std::optional<Coding> found;
  size_t codings = 0;
  while (true) {
    const size_t comma = contentEncoding.find(',');
    const std::string_view token = trim(contentEncoding.substr(0, comma));
    if (equalsLower(token, "gzip") || equalsLower(token, "x-gzip")) {
      found = Coding::gzip;
      ++codings;
    } else if (equalsLower(token, "deflate")) {
      found = Coding::deflate;
      ++codings;
    } else if (!token.empty() && !equalsLower(token, "identity")) {
      return std::nullopt;
    }
    if (comma == std::string_view::npos) break;
    contentEncoding.remove_prefix(comma + 1);
  }
  if (codings > 1) return std::nullopt;
  return found ? *found : Coding::identity;
}

size_t encodedBound(size_t decoded) { return decoded + decoded / 1024 + 1024; }

BodyDecoder::BodyDecoder(Coding coding) : coding_(coding) {}

BodyDecoder::~BodyDecoder() {
  if (started_) inflateEnd(&stream_);
}

bool BodyDecoder::start(bool raw) {
  const int bits = coding_ == Coding::gzip ? 16 + MAX_WBITS : raw ? -MAX_WBITS : MAX_WBITS;
  started_ = inflateInit2(&stream_, bits) == Z_OK;
  return started_;
}

BodyDecoder::Result BodyDecoder::feed(std::string_view input, size_t room, const Sink& sink) {
  if (input.empty()) return Result::more;
  seen_ = true;
  size_t given = 0;
  if (!started_) {
    if (coding_ == Coding::gzip) {
      if (!start(false)) return Result::invalid;
    } else {
      // The wrapping is known from the first two bytes; they may come in two pieces.
      while (headerSize_ < 2 && !input.empty()) {
        header_[headerSize_++] = static_cast<unsigned char>(input.front());
        input.remove_prefix(1);
      }
      if (headerSize_ < 2) return Result::more;
      if (!start(!zlibWrapped(header_))) return Result::invalid;
      const Result result = inflateSome(std::string_view(reinterpret_cast<const char*>(header_), 2), room, given, sink);
      if (result != Result::more) return result;
    }
  }
  return inflateSome(input, room, given, sink);
}

BodyDecoder::Result BodyDecoder::inflateSome(std::string_view input, size_t room, size_t& given, const Sink& sink) {
  stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  stream_.avail_in = static_cast<uInt>(input.size());
  while (true) {
    if (ended_) {
      if (stream_.avail_in == 0) return Result::more;
      // Only gzip strings members together (RFC 1952); after a deflate stream nothing may follow.
      if (coding_ != Coding::gzip || inflateReset(&stream_) != Z_OK) return Result::invalid;
      ended_ = false;
    }
    // One byte more than the room: enough to tell that the body passes it, no more.
    const size_t allowed = std::min(out_.size(), room - given + 1);
    stream_.next_out = out_.data();
    stream_.avail_out = static_cast<uInt>(allowed);
    const int status = inflate(&stream_, Z_NO_FLUSH);
    const size_t made = allowed - stream_.avail_out;
    if (given + made > room) return Result::tooLarge;
    if (made) sink(std::string_view(reinterpret_cast<const char*>(out_.data()), made));
    given += made;
    if (status == Z_STREAM_END) {
      ended_ = true;
      continue;
    }
    if (status == Z_BUF_ERROR && stream_.avail_in == 0) return Result::more;  // needs the next piece
    if (status != Z_OK) return Result::invalid;
    // All taken and nothing left inside zlib: output space to spare means it has drained.
    if (stream_.avail_in == 0 && stream_.avail_out != 0) return Result::more;
  }
}

bool BodyDecoder::complete() const { return !seen_ || ended_; }

std::string BodyDecoder::failure(Result result) const {
  const std::string name = coding_ == Coding::gzip ? "gzip" : "deflate";
  if (result == Result::invalid) return "the response body is not valid " + name + " data (Content-Encoding)";
  return "the response body ends inside its " + name + " data (Content-Encoding)";
}

}  // namespace mirelo::services::network
