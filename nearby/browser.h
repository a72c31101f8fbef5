#pragma once

// The browse side while the discovery window is open: one Avahi service browser, the instances it
// lists (keyed by name, type and domain, whatever the link they are seen on), their resolvers as
// the schedule lets them open (resolve_schedule.h), and the endpoint ids the host was given for
// them (endpoints.h). The result set is the instances that answered a resolver and that the
// browser still lists; each delivery reports the vanished ones "lost" and every valid current one
// "found" again under its id. An instance is decided once its resolver answers: never reported as
// it stands (resolver freed, decision kept), reported (resolver kept, to follow its changes), or
// valid but past the 256 endpoints (resolver freed, answer kept: reported when room appears).
// At most 8,192 instances; when full, a newcomer takes the place of the oldest one decided never
// to be reported, else it is dropped.
//
// Owned by the bridge for as long as the window is open; destroying it frees what it holds of the
// client. On the bridge's queue.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "endpoints.h"
#include "events.h"
#include "net_error.h"
#include "resolve_schedule.h"
#include "txt.h"

struct AvahiClient;
struct AvahiServiceBrowser;
struct AvahiServiceResolver;

namespace nearby {

class Browser {
 public:
  class Owner {
   public:
    virtual void browserState(State state, const std::optional<NetError>& error) = 0;
    // The results changed: the owner calls `deliver` from a step of its own, once per batch.
    virtual void resultsChanged() = 0;

   protected:
    ~Owner() = default;
  };

  // What a resolver reported, copied out of Avahi's types.
  struct Resolved {
    bool found = false;
    std::optional<boost::asio::ip::tcp::endpoint> address;
    std::optional<TxtValues> values;  // when the TXT record is reportable
  };

  Browser(boost::asio::io_context& queue, Owner& owner, Events& events);
  ~Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  // Opens the service browser with a running client: reported "ready", or "failed".
  void open(AvahiClient* client);
  bool isOpen() const { return avahi_ != nullptr; }
  void waiting(const NetError& why);  // no running client yet: reported "waiting"
  void clientGone(const NetError& why);  // the client went with the browser and its resolvers

  // Reports the results: "lost" for ids whose instance left them, "found" for each valid one.
  void deliver();
  // The resolved addresses of an endpoint id the host was given, or null.
  const std::vector<boost::asio::ip::tcp::endpoint>* addresses(const std::string& endpointId) const;

  // Avahi's callbacks (from the trampolines in browser.cpp).
  void onBrowse(AvahiServiceBrowser* browser, int interface, int protocol, int event, const char* name,
                const char* type, const char* domain);
  void onResolved(AvahiServiceResolver* resolver, Resolved& result);

 private:
  struct Instance;
  void report(State state, const std::optional<NetError>& error);
  void failed();
  void added(const std::string& key, std::pair<int, int> link, const char* name, const char* type, const char* domain);
  void removed(std::map<std::string, std::unique_ptr<Instance>>::iterator it, std::pair<int, int> link);
  ResolveSchedule::Opened openResolver(const std::string& key);
  void freeResolver(Instance& instance);
  void forgetInstances(bool freeResolvers);
  bool evictRejected();
  void reject(Instance& instance);
  bool announce(Instance& instance);

  Owner& owner_;
  Events& events_;
  AvahiClient* client_ = nullptr;  // the running client the browser was opened with
  AvahiServiceBrowser* avahi_ = nullptr;
  std::map<std::string, std::unique_ptr<Instance>> instances_;  // by key
  std::map<AvahiServiceResolver*, Instance*> byResolver_;
  std::deque<std::string> rejected_;  // keys decided not reportable, oldest first; some may be stale
  uint64_t arrivals_ = 0;
  ResolveSchedule schedule_;
  Endpoints endpoints_;
  State state_ = State::None;
  std::string code_;
};

}  // namespace nearby
