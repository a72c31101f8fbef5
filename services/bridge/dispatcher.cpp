#include "dispatcher.h"

#include <unistd.h>

#include <array>
#include <string_view>

namespace mirelo::services {
namespace {

using Command = void (*)(Services&, const std::string& command, const Json& payload, Reply reply);

void stop(Services& services, const std::string&, const Json&, Reply reply) {
  services.platform.notifications->removeAllDelivered();
  reply.succeed(true);  // written and flushed before the exit
  ::_exit(0);
}

// The one place that names the commands, in matching order. A name compares exactly: case and
// surrounding spaces count.
constexpr std::array<std::pair<std::string_view, Command>, 1> kCommands{{
    {"stop", stop},
}};

}  // namespace

void handle(Services& services, const std::string& command, const Json& payload, Reply reply) {
  for (const auto& [name, run] : kCommands) {
    if (name == command) return run(services, command, payload, std::move(reply));
  }
  reply.fail(failure("不支持的原生操作"));
}

void endProcess(Services& services) {
  services.platform.notifications->removeAllDelivered();
  // No destructors and no atexit handlers: other threads may still be running.
  ::_exit(0);
}

}  // namespace mirelo::services
