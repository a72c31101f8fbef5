// A response body into its reply line: limits, decoding, Base64 a piece at a time.
#include "response_body.h"

#include <algorithm>
#include <cstring>

#include "base64.h"
#include "json.h"

namespace mirelo::services::network {

bool ResponseBody::decodes(std::string_view codings) {
  const auto coding = codingOf(codings);
  if (!coding) return false;
  if (*coding != Coding::identity) decoder_ = std::make_unique<BodyDecoder>(*coding);
  return true;
}

bool ResponseBody::admits(std::optional<uint64_t> declared) const {
  const uint64_t bound = decoder_ ? encodedBound(limit_) : static_cast<uint64_t>(limit_);
  return !declared || *declared <= bound;
}

// {"id":…,"value":{"body":"…","status":N}}
void ResponseBody::begin(std::string prefix, std::optional<uint64_t> declared) {
  appendLineHead(prefix, {}, "body");
  prefix.push_back('"');
  line_.clear();
  line_.append(prefix);
  if (declared && !decoder_) line_.reserve(line_.size() + base64EscapedBound(*declared) + 32);
}

ResponseBody::Taken ResponseBody::take(std::string_view piece, size_t room) {
  room = std::min(limit_ - received_, room);
  if (!decoder_) {
    if (piece.size() > room) return Taken::tooLarge;
    count(piece);
    return Taken::ok;
  }
  encoded_ += piece.size();
  if (encoded_ > encodedBound(limit_)) return Taken::tooLarge;
  const auto result = decoder_->feed(piece, room, [this](std::string_view decoded) { count(decoded); });
  if (result == BodyDecoder::Result::tooLarge) return Taken::tooLarge;
  if (result == BodyDecoder::Result::invalid) return Taken::invalid;
  return Taken::ok;
}

std::string ResponseBody::invalidText() const { return decoder_->failure(BodyDecoder::Result::invalid); }

std::optional<std::string> ResponseBody::unfinished() const {
  if (!decoder_ || decoder_->complete()) return std::nullopt;
  return decoder_->failure(BodyDecoder::Result::more);
}

void ResponseBody::count(std::string_view piece) {
  received_ += piece.size();
  encode(piece);
}

// Whole groups of three bytes are encoded as they arrive; the rest waits for the next piece.
void ResponseBody::encode(std::string_view piece) {
  line_.reserve(line_.size() + base64EscapedBound(piece.size() + carried_));
  std::string_view rest = piece;
  if (carried_) {
    char group[3];
    std::memcpy(group, carry_, carried_);
    const size_t taken = std::min(3 - carried_, rest.size());
    std::memcpy(group + carried_, rest.data(), taken);
    rest.remove_prefix(taken);
    if (carried_ + taken < 3) {
      std::memcpy(carry_, group, carried_ + taken);
      carried_ += taken;
      return;
    }
    line_.commit(base64EncodeEscaped(std::string_view(group, 3), line_.end()));
    carried_ = 0;
  }
  const size_t whole = rest.size() / 3 * 3;
  line_.commit(base64EncodeEscaped(rest.substr(0, whole), line_.end()));
  carried_ = rest.size() - whole;
  std::memcpy(carry_, rest.data() + whole, carried_);
}

BlockBuffer& ResponseBody::end(int64_t status) {
  line_.reserve(line_.size() + base64EscapedBound(carried_) + 32);
  line_.commit(base64EncodeEscaped(std::string_view(reinterpret_cast<const char*>(carry_), carried_), line_.end()));
  line_.append("\",\"status\":");
  line_.append(std::to_string(status));
  line_.append("}");
  return line_;
}

}  // namespace mirelo::services::network
