#pragma once

#include <boost/asio/io_context.hpp>
#include <functional>
#include <string>
#include <string_view>

#include "json.h"
#include "main_queue.h"
#include "protocol/reply.h"

namespace mirelo::services {

constexpr size_t kRequestLineLimit = 25'165'824;  // 24 MiB of UTF-8 after the terminator is removed
constexpr size_t kMainQueueLimit = 256u << 20;

struct ReaderCallbacks {
  // Runs for each request, in the order read: on the main thread, or on the reader's own for a
  // command `runsOnReader` names while nothing read before it is still waiting or running.
  std::function<void(const std::string& command, const Json& payload, Reply reply)> request;
  // Whether a request for `command` needs its payload (null: every one does).
  std::function<bool(std::string_view command)> wantsPayload;
  // Commands that only hand their work to the network thread, which the reader (on that thread)
  // may run itself (null: none). Skipping the main thread saves two wake-ups per command.
  std::function<bool(std::string_view command)> runsOnReader;
  // Runs on the main thread after every request read before the end of input.
  std::function<void()> endOfInput;
};

// Reads requests from `fd` on `context`'s thread until the end of input, handing each to `queue`
// or running it there. Returns at once; `fd` is made non-blocking.
void readRequests(boost::asio::io_context& context, int fd, MainQueue& queue, const ReaderCallbacks& callbacks);

}  // namespace mirelo::services
