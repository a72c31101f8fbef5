// The way in for every request: bytes split into reads however the pipe splits them, the line
// reader, UTF-8 repair, the JSON reader and the request envelope. The lines must not depend on
// how the bytes were split, nor on whether each line's buffer was kept, given back or taken.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "json.h"
#include "line_reader.h"
#include "protocol/request.h"
#include "utf8.h"

using namespace mirelo;

namespace {

constexpr size_t kLimit = 600;

struct Line {
  bool tooLong;
  std::string text;
  bool operator==(const Line&) const = default;
};

// The stream as the given packets, one per read at most (a read asking for less than a packet
// gets its start, the rest comes next); an empty packet is a read that would block, as on a
// non-blocking pipe the host has not written to yet. A tiny chunk and keep size make growing, shrinking and
// taking happen on small inputs, with more than a chunk already read after a long line.
class PacketReader final : public LineReader {
 public:
  explicit PacketReader(const std::vector<std::string_view>& packets)
      : LineReader(-1, kLimit, 16, 64), packets_(packets) {}

 private:
  long readSome(char* into, size_t size) override {
    if (next_ == packets_.size()) return 0;
    if (packets_[next_].empty()) {
      ++next_;
      errno = EAGAIN;
      return -1;
    }
    std::string_view& packet = packets_[next_];
    const size_t n = std::min(size, packet.size());
    std::memcpy(into, packet.data(), n);
    packet.remove_prefix(n);
    if (packet.empty()) ++next_;
    return static_cast<long>(n);
  }

  std::vector<std::string_view> packets_;
  size_t next_ = 0;
};

std::vector<Line> readLines(const std::vector<std::string_view>& packets, unsigned handOver) {
  PacketReader reader(packets);
  std::vector<Line> lines;
  for (unsigned i = 0;; ++i) {
    const auto result = reader.next();
    if (result == LineReader::Result::End) break;
    if (result == LineReader::Result::Pending) continue;  // readable again at once
    if (result == LineReader::Result::TooLong) {
      lines.push_back({true, ""});
      continue;
    }
    if (reader.capacity() < reader.size() + LineReader::kPadding) __builtin_trap();
    switch ((handOver >> (i % 16 * 2)) & 3) {
      case 0: {
        LineBytes taken = reader.take();
        if (taken.capacity() < taken.size() + LineReader::kPadding) __builtin_trap();
        lines.push_back({false, std::string(taken.data(), taken.size())});
        break;
      }
      case 1:
        lines.push_back({false, std::string(reader.data(), reader.size())});
        reader.shrink();
        break;
      default: lines.push_back({false, std::string(reader.data(), reader.size())});
    }
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  // The first bytes choose the split and the hand-over; the rest is the stream.
  const unsigned splitSeed = data[0];
  unsigned handOver;
  std::memcpy(&handOver, data + 1, 4);
  const std::string_view stream(reinterpret_cast<const char*>(data) + 5, size - 5);

  std::vector<std::string_view> split;
  unsigned state = splitSeed | 1;
  for (size_t off = 0; off < stream.size();) {
    state = state * 1103515245u + 12345u;
    const size_t n = std::min<size_t>(stream.size() - off, 1 + (state >> 16) % 97);
    split.push_back(stream.substr(off, n));
    if ((state >> 8) % 4 == 0) split.emplace_back();  // nothing to read for a moment
    off += n;
  }
  const auto lines = readLines(split, handOver);
  if (lines != readLines({stream}, 0xAAAAAAAAu)) __builtin_trap();

  static JsonReader json;
  for (const auto& line : lines) {
    if (line.tooLong) continue;
    if (line.text.size() > kLimit) __builtin_trap();
    const std::string repaired = replaceInvalidUtf8(line.text);
    if (!isValidUtf8(repaired) || repaired.size() < line.text.size()) __builtin_trap();
    auto value = json.parse(repaired);
    if (value) {
      // Whatever parses can be written back, and reads back as itself.
      const auto text = writeJson(*value);
      if (text) {
        const auto again = json.parse(*text);
        if (!again || writeJson(*again) != text) __builtin_trap();
      }
    }
    // The envelope read from the loaded reader is the one read from the whole value; with no
    // payload wanted, only the payload differs.
    static JsonReader loaded;
    std::string padded = repaired;
    padded.resize(repaired.size() + JsonReader::kPadding);
    std::optional<services::Request> direct, bare;
    if (loaded.load(padded.data(), repaired.size(), padded.size())) {
      bare = services::parseRequest(loaded, [](std::string_view) { return false; });
      direct = services::parseRequest(loaded, nullptr);
    }
    const auto whole = services::parseRequest(std::move(value));
    if (direct.has_value() != whole.has_value() || bare.has_value() != whole.has_value()) __builtin_trap();
    if (whole && (direct->id != whole->id || direct->command != whole->command || direct->payload != whole->payload ||
                  bare->id != whole->id || bare->command != whole->command || !bare->payload.empty())) {
      __builtin_trap();
    }
  }
  return 0;
}
