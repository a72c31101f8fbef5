// SolvaNearby's way in: bytes split into reads at random, the line reader, and every line
// handed to the bridge. Whatever comes in, each line written is one JSON object within the
// output bound, and the process ends only as the protocol says (status 0 or 2). A line the plain
// send reader takes, with data that decodes, is the JSON object it read, and its read from the
// line's end agrees with its full scan. The same bytes, read as
// the strings of a TXT record (each after its length byte, as on the wire), go to the TXT reader:
// what it takes is four UTF-8 values of at most 128 bytes, each the first of its key.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "base64.h"
#include "bridge.h"
#include "json.h"
#include "line_reader.h"
#include "payload.h"
#include "send_line.h"
#include "txt.h"
#include "utf8.h"

namespace {

struct Exited {
  int status;
};

// The stream in reads of 1 to 61 bytes, as the pseudo-random state says.
class ChunkedInput : public mirelo::LineReader {
 public:
  ChunkedInput(std::string_view stream, unsigned state)
      : LineReader(-1, nearby::maxCommand, 4096, 1 << 20, Framing::Exact), stream_(stream), state_(state) {}

 protected:
  long readSome(char* into, size_t size) override {
    state_ = state_ * 1103515245u + 12345u;
    const size_t n = std::min({stream_.size(), size, size_t{1} + (state_ >> 16) % 61});
    std::memcpy(into, stream_.data(), n);
    stream_.remove_prefix(n);
    return static_cast<long>(n);
  }

 private:
  std::string_view stream_;
  unsigned state_;
};

}  // namespace

namespace {

bool decodes(std::string_view data) {
  std::string bytes(mirelo::base64DecodedSize(data), '\0');
  return !data.empty() && mirelo::base64DecodeTo(data, bytes.data());
}

void checkSendLine(std::string_view line, mirelo::JsonReader& reader) {
  const std::optional<nearby::SendLine> send = nearby::readSendLine(line);
  // Read from the line's end, a send is the full scan's: the same, or (data unscanned that does
  // not decode) one the bridge reads again in full.
  std::optional<nearby::SendLine> fromEnd = nearby::readSendLine(line, nearby::DataScan::FromEnd);
  if (fromEnd && fromEnd->dataUnscanned && !decodes(fromEnd->data)) fromEnd = send;
  if (fromEnd.has_value() != send.has_value()) __builtin_trap();
  if (fromEnd && (fromEnd->connectionId != send->connectionId || fromEnd->requestId != send->requestId ||
                  fromEnd->data != send->data || fromEnd->dataEscaped != send->dataEscaped)) {
    __builtin_trap();
  }
  if (!send) return;
  std::string data;
  nearby::unescapeSlashes(send->data, data);
  std::string bytes(mirelo::base64DecodedSize(data), '\0');
  if (data.empty() || !mirelo::base64DecodeTo(data, bytes.data())) return;
  const auto value = reader.parse(line);
  if (!value || !value->is_object() || value->size() != 4) __builtin_trap();
  const auto same = [&](const char* name, std::string_view expected) {
    const std::string* member = mirelo::readString(*value, name);
    if (!member || *member != expected) __builtin_trap();
  };
  same("command", "send");
  same("connectionId", send->connectionId);
  same("requestId", send->requestId);
  same("data", data);
}

void checkTxt(std::string_view bytes) {
  std::vector<std::string_view> strings;
  for (size_t off = 0; off < bytes.size();) {
    const size_t n = std::min<size_t>(static_cast<uint8_t>(bytes[off]), bytes.size() - off - 1);
    strings.push_back(bytes.substr(off + 1, n));
    off += 1 + n;
  }
  const std::optional<nearby::TxtValues> values = nearby::readTxt(strings);
  if (!values) return;
  const char keys[] = {'v', 'r', 'p', 'm'};
  for (size_t k = 0; k < 4; ++k) {
    const std::string& value = (*values)[k];
    if (value.size() > 128 || !mirelo::isValidUtf8(value)) __builtin_trap();
    for (std::string_view text : strings) {
      const std::string_view key = text.substr(0, text.find('='));
      if (key.size() != 1 || (key[0] | 0x20) != keys[k]) continue;
      const std::string_view first = key.size() < text.size() ? text.substr(2) : std::string_view();
      if (first != value) __builtin_trap();
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  checkTxt(std::string_view(reinterpret_cast<const char*>(data), size));
  static mirelo::JsonReader reader;
  boost::asio::io_context queue;
  nearby::NearbyBridge::Hooks hooks{
      [](std::string_view line) {
        if (line.empty() || line.back() != '\n' || line.size() > nearby::maxCommand + 1) __builtin_trap();
        const auto value = reader.parse(line.substr(0, line.size() - 1));
        if (!value || !value->is_object()) __builtin_trap();
        return true;
      },
      [](int status) {
        if (status != 0 && status != 2) __builtin_trap();
        throw Exited{status};
      },
  };
  nearby::NearbyBridge bridge(queue, hooks);
  ChunkedInput input(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), data[0] | 1u);
  try {
    for (auto result = input.next(); result != mirelo::LineReader::Result::End; result = input.next()) {
      if (result == mirelo::LineReader::Result::TooLong) return 0;
      const std::string_view line(input.data(), input.size());
      checkSendLine(line, reader);
      bridge.handleLine(line);
      for (int i = 0; i < 8 && queue.poll_one(); ++i) {
      }
    }
  } catch (const Exited&) {
  }
  bridge.shutdown();
  return 0;
}
