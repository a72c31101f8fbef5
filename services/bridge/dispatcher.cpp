#include "dispatcher.h"

#include <array>
#include <atomic>
#include <chrono>
#include <string_view>

#include "desktop.h"
#include "module/loader.h"
#include "network/network.h"
#include "notifications/commands.h"
#include "protocol/output.h"

namespace mirelo::services {
namespace {

using Command = void (*)(Services&, const std::string& command, const Json& payload, const Reply& reply);

// The image and room card commands are in the desktop module, loaded by the first of them.
using Module = module::DesktopModule;

// A command that finishes on the main thread: its value is the reply, its exception the error.
template <Json (*run)(const Json&)>
void now(Services&, const std::string&, const Json& payload, const Reply& reply) {
  reply.succeed(run(payload));
}

// Set once the network client exists: it is made by the first network command, on the main
// thread (its start-up asks GIO for the desktop's proxy resolver).
std::atomic<bool> networkMade{false};

network::NativeNetwork& network() {
  networkMade.store(true, std::memory_order_release);
  return network::NativeNetwork::shared();
}

// Network commands reply later, from the network thread; a refused payload replies at once.
void http(Services&, const std::string&, const Json& payload, const Reply& reply) { network().http(payload, reply); }

// `true` is written before the cancellation is handed over, so it always precedes the cancelled
// requests' own replies.
void httpCancel(Services&, const std::string&, const Json& payload, const Reply& reply) {
  reply.succeed(true);
  network().cancel(payload);
}

void socketOpen(Services&, const std::string&, const Json& payload, const Reply& reply) {
  network().open(payload, reply);
}

void socketSend(Services&, const std::string&, const Json& payload, const Reply& reply) {
  network().send(payload, reply);
}

void socketReceive(Services&, const std::string&, const Json& payload, const Reply& reply) {
  network().receive(payload, reply);
}

void socketClose(Services&, const std::string&, const Json& payload, const Reply& reply) {
  network().close(payload, reply);
}

// One command's reads from other programs' clipboards share one overall bound.
constexpr auto kPasteboardReadLimit = std::chrono::seconds(4);

// Commands that finish on the main thread with the pasteboard or the file panels.
template <Json (*run)(platform::Pasteboard&, const Json&)>
void withPasteboard(Services& services, const std::string&, const Json& payload, const Reply& reply) {
  platform::Pasteboard& pasteboard = *services.platform.pasteboard;
  struct Lift {
    platform::Pasteboard& pasteboard;
    ~Lift() { pasteboard.limitReads(std::chrono::steady_clock::time_point::max()); }
  } lift{pasteboard};
  pasteboard.limitReads(std::chrono::steady_clock::now() + kPasteboardReadLimit);
  reply.succeed(run(pasteboard, payload));
}

template <Json (*run)(platform::Panels&, const Json&)>
void withPanels(Services& services, const std::string&, const Json& payload, const Reply& reply) {
  reply.succeed(run(*services.platform.panels, payload));
}

// Notification commands reply from the notification centre's thread.
template <void (*run)(platform::NotificationCentre&, notifications::NotificationGenerations&, const Json&,
                      const Reply&)>
void withNotifications(Services& services, const std::string&, const Json& payload, const Reply& reply) {
  run(*services.platform.notifications, notifications::processGenerations(), payload, reply);
}

void backgroundActivityCommand(Services& services, const std::string&, const Json& payload, const Reply& reply) {
  reply.succeed(backgroundActivity(*services.platform.power, services.activityAssertion, payload));
}

void idleCommand(Services& services, const std::string&, const Json& payload, const Reply& reply) {
  reply.succeed(idle(*services.platform.idle, payload));
}

void emojiPanelCommand(Services& services, const std::string&, const Json& payload, const Reply& reply) {
  reply.succeed(emojiPanel(*services.platform.palette, payload));
}

void legacyPasswordCommand(Services& services, const std::string&, const Json&, const Reply& reply) {
  legacyPassword(*services.platform.keychain, reply);
}

void stop(Services& services, const std::string&, const Json&, const Reply& reply) {
  notifications::closeShownBeforeExit(*services.platform.notifications);
  services.platform.pasteboard->handOverBeforeExit();  // before `true`: the host may end us then
  reply.succeed(true);  // written and flushed before the exit
  exitProcess(0);
}

// The one place that names the commands, in matching order. A name compares exactly: case and
// surrounding spaces count.
constexpr std::array<std::pair<std::string_view, Command>, 25> kCommands{{
    {"http", http},
    {"http-cancel", httpCancel},
    {"socket-open", socketOpen},
    {"socket-send", socketSend},
    {"socket-receive", socketReceive},
    {"socket-close", socketClose},
    {"background-activity", backgroundActivityCommand},
    {"idle", idleCommand},
    {"clipboard-text", withPasteboard<clipboardText>},
    {"clipboard-write-text", withPasteboard<clipboardWriteText>},
    {"room-card-encode", now<module::run<&Module::roomCardEncode>>},
    {"room-card-decode", now<module::run<&Module::roomCardDecode>>},
    {"qr-decode", now<module::run<&Module::qrDecode>>},
    {"qr-generate", now<module::run<&Module::qrGenerate>>},
    {"clipboard-card-read", withPasteboard<module::run<platform::Pasteboard, &Module::clipboardCardRead>>},
    {"clipboard-card-write", withPasteboard<module::run<platform::Pasteboard, &Module::clipboardCardWrite>>},
    {"room-card-save-file", withPanels<module::run<platform::Panels, &Module::roomCardSaveFile>>},
    {"choose-images", withPanels<module::run<platform::Panels, &Module::chooseImages>>},
    {"normalize-image", now<module::run<&Module::normalizeImage>>},
    {"emoji-panel", emojiPanelCommand},
    {"notification-status", withNotifications<notifications::notificationStatus>},
    {"notify", withNotifications<notifications::notify>},
    {"notifications-clear", withNotifications<notifications::notificationsClear>},
    {"legacy-password", legacyPasswordCommand},
    {"stop", stop},
}};

}  // namespace

void handle(Services& services, const std::string& command, const Json& payload, const Reply& reply) {
  for (const auto& [name, run] : kCommands) {
    if (name != command) continue;
    // A command's failure is its error reply; nothing ends a command without one.
    try {
      run(services, command, payload, reply);
    } catch (const Error& error) {
      if (!reply.replied()) reply.fail(error);
    } catch (const std::exception& error) {
      if (!reply.replied()) reply.fail(platformError(error.what()));
    }
    return;
  }
  reply.fail(failure("不支持的原生操作"));
}

bool isCommand(std::string_view command) {
  for (const auto& entry : kCommands) {
    if (entry.first == command) return true;
  }
  return false;
}

bool runsOnReader(std::string_view command) {
  // The network commands check their payload and post the rest to the network thread.
  constexpr std::array<std::string_view, 6> kNetwork{"http",        "http-cancel",    "socket-open",
                                                     "socket-send", "socket-receive", "socket-close"};
  if (!networkMade.load(std::memory_order_acquire)) return false;
  for (const std::string_view name : kNetwork) {
    if (name == command) return true;
  }
  return false;
}

void endProcess(Services& services) {
  notifications::closeShownBeforeExit(*services.platform.notifications);
  services.platform.pasteboard->handOverBeforeExit();
  // No destructors and no atexit handlers: other threads may still be running.
  exitProcess(0);
}

}  // namespace mirelo::services
