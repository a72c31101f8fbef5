// The Avahi client's life (see avahi_session.h). A disconnected client is freed from a posted
// step, never inside its own callback.
#include "avahi_session.h"

#include <avahi-client/client.h>
#include <avahi-common/error.h>

#include <boost/asio/post.hpp>

namespace nearby {
namespace {

constexpr auto kClientRetry = std::chrono::seconds(2);

void onClientState(AvahiClient* client, AvahiClientState state, void* userdata) {
  static_cast<AvahiSession*>(userdata)->onState(client, state);
}

}  // namespace

AvahiSession::AvahiSession(boost::asio::io_context& queue, Owner& owner)
    : queue_(queue), owner_(owner), retry_(queue) {}

AvahiSession::~AvahiSession() {
  if (client_) avahi_client_free(client_);
}

void AvahiSession::start() {
  if (!poll_) poll_ = std::make_unique<AsioAvahiPoll>(queue_);
  active_ = true;
  connect();
}

void AvahiSession::stop() {
  active_ = false;
  retry_.cancel();
  if (client_) avahi_client_free(client_);  // frees every object made with it
  client_ = nullptr;
  running_ = false;
}

NetError AvahiSession::waitingError() const {
  const int error = client_ ? avahi_client_errno(client_) : 0;
  return avahiError(error ? error : AVAHI_ERR_NO_DAEMON);
}

void AvahiSession::connect() {
  if (!active_) return;
  int error = 0;
  creating_ = true;
  AvahiClient* created = avahi_client_new(poll_->get(), AVAHI_CLIENT_NO_FAIL, onClientState, this, &error);
  creating_ = false;
  if (created) {
    client_ = created;
    return;
  }
  // No system bus (or no memory): report, and look again later.
  client_ = nullptr;
  running_ = false;
  owner_.clientWaiting(avahiError(error));
  retry_.expires_after(kClientRetry);
  retry_.async_wait([this](boost::system::error_code e) {
    if (!e && active_ && !client_) connect();
  });
}

void AvahiSession::onState(AvahiClient* client, int state) {
  if (creating_ && !client_) client_ = client;
  if (client != client_ || !active_) return;
  switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
      running_ = true;
      owner_.clientRunning(client);
      break;
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_COLLISION:
      // The host name is being (re)registered: records are published again once running.
      owner_.hostRenaming();
      break;
    case AVAHI_CLIENT_CONNECTING:
      if (running_) return drop(avahiError(AVAHI_ERR_DISCONNECTED));
      owner_.clientWaiting(avahiError(AVAHI_ERR_NO_DAEMON));
      break;
    case AVAHI_CLIENT_FAILURE: drop(avahiError(avahi_client_errno(client))); break;
    default: break;
  }
}

// The daemon went away: everything made with the client is gone with it. Wait for the daemon with
// a fresh client; the owner's objects are made again when it runs.
void AvahiSession::drop(const NetError& why) {
  AvahiClient* old = client_;
  client_ = nullptr;
  running_ = false;
  owner_.clientGone(why);
  boost::asio::post(queue_, [this, old] {
    avahi_client_free(old);
    if (active_ && !client_) connect();
  });
}

}  // namespace nearby
