// Idle time as the X server counts it: MIT-SCREEN-SAVER's time since the input it saw. Every round
// trip is bounded (500 ms): an X server that stopped answering (stopped, or grabbed by a client
// that hangs) costs half a second and reads as "cannot tell", never a hang. A late answer is
// discarded by XCB when it comes.
#include <poll.h>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>  // xcb_poll_for_reply

#include <chrono>
#include <cstdlib>
#include <memory>

#include "idle.h"

namespace mirelo::services::platform {
namespace {

constexpr std::chrono::milliseconds kReplyBound{500};

class XIdle {
 public:
  XIdle(xcb_connection_t* connection, int screenNumber) : x_(connection), screenNumber_(screenNumber) {
    // Asked now, without waiting: the answer is awaited, bounded, on the first query.
    xcb_prefetch_extension_data(x_, &xcb_screensaver_id);
    xcb_flush(x_);
  }
  XIdle(const XIdle&) = delete;
  XIdle& operator=(const XIdle&) = delete;
  ~XIdle() { xcb_disconnect(x_); }

  std::optional<uint64_t> milliseconds() {
    if (xcb_connection_has_error(x_)) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + kReplyBound;
    if (!extensionKnown_) {
      // xcb_get_extension_data waits, unbounded, for the prefetched answer; once a later request
      // is answered, that answer is in and the call returns at once.
      void* sync = awaitReply(xcb_get_input_focus(x_).sequence, deadline);
      if (!sync) return std::nullopt;
      std::free(sync);
      extensionKnown_ = true;
    }
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(x_, &xcb_screensaver_id);
    if (!extension || !extension->present) return std::nullopt;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(x_));
    for (int i = 0; i < screenNumber_ && screens.rem; ++i) xcb_screen_next(&screens);
    if (!screens.rem) return std::nullopt;
    auto* info = static_cast<xcb_screensaver_query_info_reply_t*>(
        awaitReply(xcb_screensaver_query_info(x_, screens.data->root).sequence, deadline));
    if (!info) return std::nullopt;
    const uint64_t ms = info->ms_since_user_input;
    std::free(info);
    return ms;
  }

 private:
  // The reply to request `sequence` (to be freed), or null for an error, a broken connection or
  // no answer by `deadline` (the reply is then discarded whenever it arrives).
  void* awaitReply(unsigned int sequence, std::chrono::steady_clock::time_point deadline) {
    xcb_flush(x_);
    for (;;) {
      void* reply = nullptr;
      xcb_generic_error_t* error = nullptr;
      if (xcb_poll_for_reply(x_, sequence, &reply, &error)) {
        std::free(error);
        return reply;
      }
      if (xcb_connection_has_error(x_)) return nullptr;
      // Reading happens only in the event calls; this connection asks for no events, so any
      // that come are dropped.
      if (xcb_generic_event_t* event = xcb_poll_for_event(x_)) {
        std::free(event);
        continue;
      }
      if (xcb_poll_for_reply(x_, sequence, &reply, &error)) {
        std::free(error);
        return reply;
      }
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd descriptor{.fd = xcb_get_file_descriptor(x_), .events = POLLIN, .revents = 0};
      if (left.count() <= 0 || ::poll(&descriptor, 1, static_cast<int>(left.count())) == 0) {
        xcb_discard_reply(x_, sequence);
        return nullptr;
      }
    }
  }

  xcb_connection_t* x_;
  int screenNumber_;
  bool extensionKnown_ = false;
};

}  // namespace

IdleMilliseconds makeXIdleMilliseconds() {
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  auto idle = std::make_shared<XIdle>(connection, screenNumber);
  return [idle] { return idle->milliseconds(); };
}

}  // namespace mirelo::services::platform
