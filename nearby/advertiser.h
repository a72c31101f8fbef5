#pragma once

// Our service on the network: one Avahi entry group with the host's name, port and TXT. On a name
// collision it takes Avahi's alternative name ("name #2", ...) and publishes again; withdrawing
// resets the group (the listener keeps listening). Reports the listener's state, changes only.
// Made with the listener, at "start"; on the bridge's queue.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "events.h"
#include "net_error.h"

struct AvahiClient;
struct AvahiEntryGroup;

namespace nearby {

class Advertiser {
 public:
  struct Service {
    std::string name;  // the current name: changes when another host holds it
    std::vector<std::pair<std::string, std::string>> txt;
    uint16_t port = 0;
  };
  using Report = std::function<void(State state, const std::optional<NetError>& error)>;

  Advertiser(Service service, bool advertising, Report report);
  ~Advertiser();  // frees the group, if the client still has it
  Advertiser(const Advertiser&) = delete;
  Advertiser& operator=(const Advertiser&) = delete;

  void advertise();  // published now, or as soon as the client runs
  void withdraw();

  // The client's changes (AvahiSession::Owner, passed on by the bridge).
  void clientRunning(AvahiClient* client);
  void clientWaiting(const NetError& why);
  void clientGone();  // the group went with the client
  void hostRenaming();

  // Avahi's group callback (from the trampoline in advertiser.cpp).
  void onGroupState(AvahiEntryGroup* group, int state);

 private:
  void publish();
  void takeAlternativeName();
  void report(State state, const std::optional<NetError>& error);

  Service service_;
  bool advertising_;  // the service should be published
  Report report_;
  AvahiClient* client_ = nullptr;  // while it runs
  AvahiEntryGroup* group_ = nullptr;
  State state_ = State::None;
  std::string code_;
};

}  // namespace nearby
