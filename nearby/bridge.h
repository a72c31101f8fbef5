#pragma once

// The commands of SolvaNearby, routed to the objects that carry them out: the listener and the
// advertiser (made at "start"), the Avahi session, the browser (while the discovery window is
// open) and the channels. Holds what belongs to no one of them: whether it started, the discovery
// window and its 60-second deadline, and the "status"/"ready" reporting. One per process, never
// destroyed there; every member runs on `queue` (one thread running the io_context), which also
// runs every socket, timer and Avahi callback, so nothing here is locked.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "advertiser.h"
#include "avahi_session.h"
#include "bounds.h"
#include "browser.h"
#include "channels.h"
#include "events.h"
#include "json.h"
#include "listener.h"
#include "send_line.h"

namespace nearby {

class NearbyBridge final : AvahiSession::Owner, Browser::Owner {
 public:
  using Hooks = nearby::Hooks;

  NearbyBridge(boost::asio::io_context& queue, Hooks hooks);
  ~NearbyBridge();
  NearbyBridge(const NearbyBridge&) = delete;
  NearbyBridge& operator=(const NearbyBridge&) = delete;

  // One input line, as the reader hands it over: a plain send, or parsed, then `handle`d.
  void handleLine(std::string_view line);
  void handle(const mirelo::Json& payload);
  // Closes everything; no event.
  void shutdown();

  boost::asio::io_context& queue;

 private:
  bool start(const mirelo::Json& payload);  // false: the listener could not be made
  void startBrowser();
  void setDiscovery(bool enabled);
  void armDeadline();
  void disarmDeadline();
  void onAccepted(boost::asio::ip::tcp::socket socket);
  void connect(const mirelo::Json& payload, const std::string& id);
  void send(const mirelo::Json& payload, const std::string& id);
  bool sendPlain(std::string_view line, DataScan scan);
  void reportStatus(std::string_view component, State state, const std::optional<NetError>& error);

  void clientRunning(AvahiClient* client) override;
  void clientWaiting(const NetError& why) override;
  void clientGone(const NetError& why) override;
  void hostRenaming() override;
  void browserState(State state, const std::optional<NetError>& error) override;
  void resultsChanged() override;

  Events events_;
  mirelo::JsonReader reader_;
  std::string unescaped_;  // a send's data with its "\/" escapes undone, reused
  bool started_ = false;
  bool discoveryOpen_ = true;
  std::string windowId_;
  boost::asio::steady_timer deadline_;
  bool listenerReady_ = false, browserReady_ = false, announcedReady_ = false;
  bool resultsPosted_ = false;
  // Destroyed in reverse: the browser and the advertiser free their objects while the client lives.
  AvahiSession session_;
  std::shared_ptr<Listener> listener_;
  std::unique_ptr<Advertiser> advertiser_;
  std::unique_ptr<Browser> browser_;
  Channels channels_;
};

}  // namespace nearby
