#include "reader.h"

#include <glib.h>
#include <malloc.h>

#include <memory>

#include "line_reader.h"
#include "protocol/request.h"
#include "utf8.h"

namespace mirelo::services {
namespace {

constexpr size_t kRequestOverhead = 256;  // queue weight of a request beyond its line
constexpr size_t kLargeLine = 1u << 20;
constexpr unsigned kIdleSeconds = 3;
constexpr size_t kWarmHeap = 64u << 20;
constexpr size_t kReaderLine = 1u << 20;  // longer lines are parsed on the main thread

void refuseOversized() { Reply("").fail(failure("请求过大")); }

// Main thread only.
JsonReader& jsonReader() {
  static JsonReader reader;
  return reader;
}

// The parser's buffers grow to the largest line read, and the heap to the largest request's
// values. Both stay warm for the next large request (a second 24 MiB line touches no fresh page)
// and are given back after a few idle seconds; a heap left with very much free (a parsed
// `[{},{},…]` is tens of times its line) is trimmed at once.
void trimWhenIdle() {
  if (::mallinfo2().fordblks > kWarmHeap) ::malloc_trim(0);
  static guint source = 0;
  if (source) g_source_remove(source);
  source = g_timeout_add_seconds(
      kIdleSeconds,
      [](gpointer) -> gboolean {
        source = 0;
        jsonReader().trim(kLargeLine);
        ::malloc_trim(0);
        return G_SOURCE_REMOVE;
      },
      nullptr);
}

// Runs on the main thread, one request at a time: only the raw lines wait in the queue, so what
// the queue holds is what its bound counts. A parsed value may be many times its line
// (`[{},{},…]`), and at most one exists at a time.
void runLine(LineBytes& line, const ReaderCallbacks& callbacks) {
  JsonReader& json = jsonReader();
  const size_t size = line.size();
  std::optional<Request> request;
  if (json.load(line.data(), line.size(), line.capacity())) {
    line.reset();  // given back before the value is built
    request = parseRequest(json, callbacks.wantsPayload);
  }
  line.reset();
  if (request) {
    callbacks.request(request->command, request->payload, Reply(std::move(request->id)));
  }
  if (size >= kLargeLine) {
    request.reset();
    trimWhenIdle();
  }
}

// A line the reader runs itself, when its command allows and the main thread owes nothing read
// before it. Only a line that spells such a command's name plainly can be one; any other (an
// escaped name too) goes to the main thread, which runs every command, so both ways are right.
bool ranOnReader(JsonReader& json, const LineBytes& line, MainQueue& queue, const ReaderCallbacks& callbacks) {
  if (!callbacks.runsOnReader || line.size() > kReaderLine || !queue.idle()) return false;
  const std::string_view text(line.data(), line.size());
  if (text.find("\"socket-") == std::string_view::npos && text.find("\"http") == std::string_view::npos) return false;
  if (!json.load(line.data(), line.size(), line.capacity())) return false;
  const std::optional<std::string_view> command = json.loadedString("command");
  if (!command || !callbacks.runsOnReader(*command)) return false;
  std::optional<Request> request = parseRequest(json, callbacks.wantsPayload);
  if (!request) return false;
  callbacks.request(request->command, request->payload, Reply(std::move(request->id)));
  return true;
}

}  // namespace

void readRequests(int fd, MainQueue& queue, const ReaderCallbacks& callbacks) {
  LineReader lines(fd, kRequestLineLimit);
  JsonReader json;  // this thread's, for the lines it runs itself
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
    if (ranOnReader(json, line, queue, callbacks)) continue;
    const size_t weight = line.size() + kRequestOverhead;
    queue.push([&callbacks, line = std::make_shared<LineBytes>(std::move(line))] { runLine(*line, callbacks); },
               weight);
  }
  queue.push(callbacks.endOfInput, 0);
}

}  // namespace mirelo::services
