#include "reply.h"

#include <string.h>

#include <atomic>
#include <cassert>

#include "output.h"

namespace mirelo::services {
namespace {

constexpr const char* kUnwritableReply = "原生操作结果无法编码";

}  // namespace

struct Reply::State {
  explicit State(std::string requestId) : id(std::move(requestId)) {}
  // Every request must be answered; only an exiting process may leave one unanswered, and it
  // does not run destructors.
  ~State() { assert(replied.load() && "request dropped without a reply"); }

  std::string id;
  std::atomic<bool> replied{false};
};

Reply::Reply(std::string id) : state_(std::make_shared<State>(std::move(id))) {}

const std::string& Reply::id() const { return state_->id; }

bool Reply::replied() const { return state_->replied.load(); }

void Reply::send(Json object) const {
  const bool already = state_->replied.exchange(true);
  assert(!already && "reply callback called twice");
  if (already) return;
  object["id"] = state_->id;
  if (emit(object)) return;
  // The value could not be written (text from elsewhere that is not UTF-8, a number that is not
  // finite): the host still gets an answer for its id.
  emit(Json{{"error", kUnwritableReply}, {"id", state_->id}});
}

// Built member by member: an initializer list would copy the value, which may be megabytes.
void Reply::succeed(Json value) const {
  Json object = Json::object();
  object["value"] = std::move(value);
  send(std::move(object));
}

void Reply::fail(const Error& error) const {
  Json object = Json::object();
  object["error"] = error.message;
  send(std::move(object));
}

}  // namespace mirelo::services

namespace mirelo::services {

std::string Reply::valuePrefix() const {
  std::string head;
  if (!appendLineHead(head, {{"id", state_->id}}, "value")) appendLineHead(head, {{"id", ""}}, "value");
  return head;
}

void Reply::succeedLine(BlockBuffer& line) const {
  const bool already = state_->replied.exchange(true);
  assert(!already && "reply callback called twice");
  if (already) return;
  line.append("}");
  writeLine(line.view());
}

void Reply::succeedWritten(size_t size, const std::function<void(BlockBuffer&)>& write) const {
  const std::string prefix = valuePrefix();
  BlockBuffer line(prefix.size() + size + 1);
  line.append(prefix);
  write(line);
  succeedLine(line);
}

void Reply::succeedSecret(std::string_view text) const {
  const bool already = state_->replied.exchange(true);
  assert(!already && "reply callback called twice");
  if (already) return;
  std::string line;
  line.reserve(state_->id.size() + text.size() * 2 + 20);
  if (!appendLineHead(line, {{"id", state_->id}}, "value")) appendLineHead(line, {{"id", ""}}, "value");
  line.push_back('"');
  // Base64 needs no escape but the writer's own: "/" as "\/", like every other line.
  for (const char c : text) {
    if (c == '/') line.push_back('\\');
    line.push_back(c);
  }
  line.append("\"}");
  writeLine(line);
  ::explicit_bzero(line.data(), line.capacity());
}

}  // namespace mirelo::services
