// SolvaNearby's way in: bytes split into reads at random, the line splitter, and every line
// handed to the bridge. Whatever comes in, each line written is one JSON object within the
// output bound, and the process ends only as the protocol says (status 0 or 2).
#include <cstdint>
#include <string>

#include "bridge.h"
#include "input.h"
#include "json.h"

namespace {

struct Exited {
  int status;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
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
  nearby::LineInput input(nearby::maxCommand);
  unsigned state = data[0] | 1u;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    for (size_t off = 0; off < stream.size();) {
      state = state * 1103515245u + 12345u;
      const size_t n = std::min<size_t>(stream.size() - off, 1 + (state >> 16) % 61);
      input.append(stream.data() + off, n);
      off += n;
      for (auto result = input.next(); result != nearby::LineInput::Result::NeedMore; result = input.next()) {
        if (result == nearby::LineInput::Result::TooLong) return 0;
        bridge.handleLine(input.line());
        for (int i = 0; i < 8 && queue.poll_one(); ++i) {
        }
      }
    }
  } catch (const Exited&) {
  }
  bridge.shutdown();
  return 0;
}
