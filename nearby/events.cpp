// The event lines (see events.h). Building the object costs an allocation per member; only
// "data" lines are large, and those are assembled by hand into one reused string.
#include "events.h"

#include <algorithm>
#include <cstdlib>

#include "base64.h"
#include "bounds.h"

namespace nearby {

using mirelo::Json;

namespace {

Json event(std::string_view name) {
  Json e = Json::object();
  e["event"] = std::string(name);
  return e;
}

Json connectionEvent(std::string_view name, const std::string& id) {
  Json e = event(name);
  e["connectionId"] = id;
  return e;
}

const char* stateName(State state) {
  static const char* names[] = {"", "ready", "waiting", "failed", "cancelled"};
  return names[static_cast<int>(state)];
}

}  // namespace

void Events::error(std::string_view code) {
  Json e = event("error");
  e["code"] = std::string(code);
  emit(e);
}

void Events::stopped() { emit(event("stopped")); }

void Events::ready() {
  Json e = event("ready");
  e["protocol"] = 1;
  e["peerToPeerEnabled"] = true;
  emit(e);
}

void Events::discoveryWindow(bool open, const std::string& windowId) {
  Json e = event("discovery-window");
  e["open"] = open;
  e["windowId"] = windowId;
  emit(e);
}

void Events::status(std::string_view component, State state, const std::optional<NetError>& error) {
  Json e = event("status");
  e["component"] = std::string(component);
  e["state"] = stateName(state);
  if (error) e["code"] = errorCode(*error);
  emit(e);
}

void Events::found(const std::string& endpointId, const TxtValues& values) {
  Json txt = Json::object();
  for (size_t k = 0; k < values.size(); ++k) txt[txtKeys[k]] = values[k];
  Json e = event("found");
  e["endpointId"] = endpointId;
  e["txt"] = std::move(txt);
  emit(e);
}

void Events::lost(const std::string& endpointId) {
  Json e = event("lost");
  e["endpointId"] = endpointId;
  emit(e);
}

void Events::connectionReady(const std::string& id, bool outbound) {
  Json e = connectionEvent("connection-ready", id);
  e["outbound"] = outbound;
  emit(e);
}

void Events::connectionWaiting(const std::string& id, const NetError& error) {
  Json e = connectionEvent("connection-waiting", id);
  e["code"] = errorCode(error);
  emit(e);
}

void Events::connectionClosed(const std::string& id, const std::optional<std::string>& code) {
  Json e = connectionEvent("connection-closed", id);
  if (code) e["code"] = *code;
  emit(e);
}

void Events::sent(const std::string& id, const std::string& requestId) {
  Json e = connectionEvent("sent", id);
  e["requestId"] = requestId;
  emit(e);
}

void Events::data(std::string_view head, const char* bytes, size_t size) {
  // The one large event: its Base64 is encoded straight into the reused buffer (never zero-filled
  // first), after the head (keys in the writer's order). A read larger than an event becomes
  // several lines, written at once.
  if (head.empty()) return;
  constexpr std::string_view tail = "\",\"event\":\"data\"}\n";
  dataLines_.clear();
  for (size_t at = 0; at < size; at += maxDataEvent) {
    const size_t n = std::min(maxDataEvent, size - at);
    dataLines_.reserve(dataLines_.size() + head.size() + mirelo::base64EncodedSize(n) + tail.size());
    dataLines_.append(head);
    dataLines_.commit(mirelo::base64EncodeTo(std::string_view(bytes + at, n), dataLines_.end()));
    dataLines_.append(tail);
  }
  writeLine(dataLines_.view());
}

void Events::exit(int status) {
  hooks_.exit(status);
  std::abort();  // the hook does not return
}

void Events::emit(const Json& object) {
  std::optional<std::string> text = mirelo::writeJson(object);
  if (!text || text->size() > maxCommand) return;
  text->push_back('\n');
  writeLine(*text);
}

void Events::writeLine(std::string_view line) {
  if (hooks_.write(line)) return;
  onGone_();
  exit(0);
}

std::string dataHead(const std::string& connectionId) {
  std::string head;
  if (mirelo::appendLineHead(head, {{"connectionId", connectionId}}, "data")) head.push_back('"');
  return head;
}

}  // namespace nearby
