#pragma once

// The writers of every event line. Each builds its object, which the compact writer turns into
// one line (keys in byte order); a line past maxCommand is dropped. A write that fails means the
// host is gone: `onGone` runs (the bridge shuts down), then `Hooks::exit(0)`, which does not
// return. One per bridge, on its queue; the "data" lines reuse one buffer.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "block_pool.h"
#include "json.h"
#include "net_error.h"
#include "txt.h"

namespace nearby {

// The process around the bridge.
struct Hooks {
  // Writes one whole output line (newline included); false when standard output is gone.
  std::function<bool(std::string_view)> write;
  // Ends the process with a status; does not return.
  std::function<void(int)> exit;
};

// What a listener or a browser reports of itself ("status" events).
enum class State { None, Ready, Waiting, Failed, Cancelled };

class Events {
 public:
  Events(Hooks hooks, std::function<void()> onGone) : hooks_(std::move(hooks)), onGone_(std::move(onGone)) {}

  void error(std::string_view code);
  void stopped();
  void ready();
  void discoveryWindow(bool open, const std::string& windowId);
  void status(std::string_view component, State state, const std::optional<NetError>& error);
  void found(const std::string& endpointId, const TxtValues& txt);
  void lost(const std::string& endpointId);
  void connectionReady(const std::string& id, bool outbound);
  void connectionWaiting(const std::string& id, const NetError& error);
  void connectionClosed(const std::string& id, const std::optional<std::string>& code);
  void sent(const std::string& id, const std::string& requestId);
  // `head` is the channel's dataHead; an empty one (an id the writer refuses) gets no event.
  void data(std::string_view head, const char* bytes, size_t size);

  [[noreturn]] void exit(int status);

 private:
  void emit(const mirelo::Json& object);
  void writeLine(std::string_view line);

  Hooks hooks_;
  std::function<void()> onGone_;
  mirelo::BlockBuffer dataLines_;  // the "data" lines being written, reused
};

// What every "data" line of a channel starts with, `{"connectionId":"…","data":"`; empty when the
// id is not valid UTF-8.
std::string dataHead(const std::string& connectionId);

}  // namespace nearby
