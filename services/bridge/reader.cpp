#include "reader.h"

#include "line_reader.h"
#include "utf8.h"

namespace mirelo::services {
namespace {

constexpr size_t kRequestOverhead = 256;  // queue weight of a request beyond its line

struct Request {
  std::string id;
  std::string command;
  Json payload;
};

std::optional<Request> parseRequest(std::optional<Json> value) {
  if (!value || !value->is_object()) return std::nullopt;
  auto id = value->find("id");
  auto command = value->find("command");
  if (id == value->end() || !id->is_string()) return std::nullopt;
  if (command == value->end() || !command->is_string()) return std::nullopt;
  Request request{std::move(id->get_ref<std::string&>()), std::move(command->get_ref<std::string&>()),
                  Json::object()};
  if (auto payload = value->find("payload"); payload != value->end() && payload->is_object()) {
    request.payload = std::move(*payload);
  }
  return request;
}

void refuseOversized() { Reply("").fail(failure("请求过大")); }

}  // namespace

void readRequests(int fd, MainQueue& queue, const ReaderCallbacks& callbacks) {
  LineReader lines(fd, kRequestLineLimit);
  JsonReader json;
  for (;;) {
    const auto result = lines.next();
    if (result == LineReader::Result::End) break;
    if (result == LineReader::Result::TooLong) {
      refuseOversized();
      continue;
    }
    std::string_view line(lines.data(), lines.size());
    const size_t weight = line.size() + kRequestOverhead;
    std::optional<Json> value;
    if (isValidUtf8(line)) {
      // Parsed, then the line's buffer given back before the value is built: a 24 MiB request
      // is never held three times at once.
      if (json.load(lines.data(), lines.size(), lines.capacity())) {
        lines.shrink();
        value = json.take();
      }
    } else {
      // Replacement never shortens the text, but may lengthen it past the limit.
      const std::string repaired = replaceInvalidUtf8(line);
      if (repaired.size() > kRequestLineLimit) {
        refuseOversized();
        continue;
      }
      value = json.parse(repaired);
    }
    json.trim(1u << 20);
    auto request = parseRequest(std::move(value));
    if (!request) continue;
    queue.push(
        [&callbacks, request = std::make_shared<Request>(std::move(*request))] {
          callbacks.request(request->command, request->payload, Reply(std::move(request->id)));
          request->payload = Json();
        },
        weight);
  }
  queue.push(callbacks.endOfInput, 0);
}

}  // namespace mirelo::services
