#pragma once

// The Avahi client and its restarts. The client is made with AVAHI_CLIENT_NO_FAIL, so it exists
// while the daemon is away; when the daemon (or the system bus) goes, everything made with the
// client goes with it, and a fresh client waits for the daemon (one made afresh every 2 s while
// even that fails). The owner hears of each change and makes or drops its own Avahi objects.
// Lives as long as the bridge (the poll's posted steps refer to it); `stop` ends its work. On the
// bridge's queue; Avahi is driven through AsioAvahiPoll, never its threaded poll.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <memory>

#include "avahi_poll.h"
#include "net_error.h"

struct AvahiClient;

namespace nearby {

class AvahiSession {
 public:
  class Owner {
   public:
    // The client runs: entry groups and browsers may be made with it.
    virtual void clientRunning(AvahiClient* client) = 0;
    // The daemon cannot be reached yet.
    virtual void clientWaiting(const NetError& why) = 0;
    // The client went, with every object made with it (the owner forgets them unfreed).
    virtual void clientGone(const NetError& why) = 0;
    // The host name is being registered again: published records are to be reset.
    virtual void hostRenaming() = 0;

   protected:
    ~Owner() = default;
  };

  AvahiSession(boost::asio::io_context& queue, Owner& owner);
  ~AvahiSession();
  AvahiSession(const AvahiSession&) = delete;
  AvahiSession& operator=(const AvahiSession&) = delete;

  // Makes the poll (once), then the client.
  void start();
  // Frees the client; nothing is made again.
  void stop();
  bool started() const { return poll_ != nullptr; }

  // The client while it runs, else null.
  AvahiClient* runningClient() const { return running_ ? client_ : nullptr; }
  // Why a client that is not running is waiting.
  NetError waitingError() const;

  // Avahi's state callback (from the trampoline in avahi_session.cpp).
  void onState(AvahiClient* client, int state);

 private:
  void connect();
  void drop(const NetError& why);

  boost::asio::io_context& queue_;
  Owner& owner_;
  std::unique_ptr<AsioAvahiPoll> poll_;  // kept after stop: its posted steps refer to it
  AvahiClient* client_ = nullptr;
  bool active_ = false;  // between start and stop
  bool running_ = false;
  bool creating_ = false;  // inside avahi_client_new, which may call back before it returns
  boost::asio::steady_timer retry_;
};

}  // namespace nearby
