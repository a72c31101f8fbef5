#include "reader.h"

#include <malloc.h>

#include <memory>

#include "line_reader.h"
#include "protocol/request.h"
#include "utf8.h"

namespace mirelo::services {
namespace {

constexpr size_t kRequestOverhead = 256;  // queue weight of a request beyond its line
constexpr size_t kTrimAfter = 1u << 20;

void refuseOversized() { Reply("").fail(failure("请求过大")); }

// Runs on the main thread, one request at a time: only the raw lines wait in the queue, so what
// the queue holds is what its bound counts. A parsed value may be many times its line
// (`[{},{},…]`), and at most one exists at a time.
void runLine(LineBytes& line, const ReaderCallbacks& callbacks) {
  thread_local JsonReader json;
  const size_t size = line.size();
  std::optional<Json> value;
  if (json.load(line.data(), line.size(), line.capacity())) {
    line.reset();  // given back before the value is built
    value = json.take();
  }
  line.reset();
  json.trim(1u << 20);
  auto request = parseRequest(std::move(value));
  if (request) {
    callbacks.request(request->command, request->payload, Reply(std::move(request->id)));
  }
  // After a large request the heap may hold hundreds of MiB of freed nodes: give them back.
  if (size >= kTrimAfter) {
    request.reset();
    ::malloc_trim(0);
  }
}

}  // namespace

void readRequests(int fd, MainQueue& queue, const ReaderCallbacks& callbacks) {
  LineReader lines(fd, kRequestLineLimit);
  for (;;) {
    const auto result = lines.next();
    if (result == LineReader::Result::End) break;
    if (result == LineReader::Result::TooLong) {
      refuseOversized();
      continue;
    }
    std::string_view text(lines.data(), lines.size());
    LineBytes line;
    if (isValidUtf8(text)) {
      line = lines.take();
    } else {
      // Replacement never shortens the text, but may lengthen it past the limit.
      const std::string repaired = replaceInvalidUtf8(text);
      if (repaired.size() > kRequestLineLimit) {
        refuseOversized();
        continue;
      }
      line = LineBytes(repaired);
    }
    const size_t weight = line.size() + kRequestOverhead;
    queue.push([&callbacks, line = std::make_shared<LineBytes>(std::move(line))] { runLine(*line, callbacks); },
               weight);
  }
  queue.push(callbacks.endOfInput, 0);
}

}  // namespace mirelo::services
