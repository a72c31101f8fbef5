// The browse side (see browser.h): browser events add and remove instances, resolver answers
// decide them, and a delivery turns the results into "lost" and "found" events.
#include "browser.h"

#include <avahi-client/lookup.h>
#include <avahi-common/strlst.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include "bounds.h"
#include "uuid.h"

namespace nearby {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// Browse entries held at once, decided or not.
constexpr size_t kMaxInstances = 8192;
// Resolvers open at once for instances not yet decided; reported endpoints keep theirs besides
// (at most maxEndpoints), so with the browser and the entry group the daemon holds at most 290
// objects of ours, well under its default objects-per-client-max of 1,024.
constexpr size_t kMaxResolving = 32;

void onBrowseEvent(AvahiServiceBrowser* b, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
                   const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* userdata) {
  static_cast<Browser*>(userdata)->onBrowse(b, interface, protocol, event, name, type, domain);
}

Browser::Resolved resolvedOf(AvahiResolverEvent event, AvahiIfIndex interface, const AvahiAddress* address,
                             uint16_t port, AvahiStringList* txt) {
  Browser::Resolved result;
  result.found = event == AVAHI_RESOLVER_FOUND;
  if (!result.found || !address) return result;
  if (address->proto == AVAHI_PROTO_INET) {
    result.address = tcp::endpoint(asio::ip::address_v4(ntohl(address->data.ipv4.address)), port);
  } else if (address->proto == AVAHI_PROTO_INET6) {
    asio::ip::address_v6::bytes_type bytes;
    std::memcpy(bytes.data(), address->data.ipv6.address, bytes.size());
    asio::ip::address_v6 v6(bytes);
    if (v6.is_link_local()) v6.scope_id(static_cast<asio::ip::scope_id_type>(interface));
    result.address = tcp::endpoint(v6, port);
  }
  std::vector<std::string_view> strings;
  for (AvahiStringList* item = txt; item; item = avahi_string_list_get_next(item))
    strings.emplace_back(reinterpret_cast<const char*>(avahi_string_list_get_text(item)),
                         avahi_string_list_get_size(item));
  result.values = readTxt(strings);
  return result;
}

void onResolveEvent(AvahiServiceResolver* r, AvahiIfIndex interface, AvahiProtocol, AvahiResolverEvent event,
                    const char*, const char*, const char*, const char*, const AvahiAddress* address, uint16_t port,
                    AvahiStringList* txt, AvahiLookupResultFlags, void* userdata) {
  Browser::Resolved result = resolvedOf(event, interface, address, port, txt);
  static_cast<Browser*>(userdata)->onResolved(r, result);
}

}  // namespace

// One browsed instance. It holds a resolver while it is being resolved (a slot of the schedule),
// while a reportable answer waits for the next delivery (still the slot), and while it has an
// endpoint id (no slot: that resolver follows its changes). Otherwise it keeps only its decision.
struct Browser::Instance {
  std::string key, name, type, domain;
  uint64_t arrival = 0;  // the browser's order, in which results are delivered
  std::vector<std::pair<int, int>> links;  // (interface, protocol) pairs it is browsed on
  AvahiServiceResolver* resolver = nullptr;
  std::pair<int, int> resolving{-1, -1};
  bool resolved = false;  // answered: in the results
  bool undecided = false;  // reportable, and the next delivery decides whether it keeps its resolver
  std::optional<TxtValues> values;  // when its TXT is reportable
  std::vector<tcp::endpoint> addresses;
};

Browser::Browser(asio::io_context& queue, Owner& owner, Events& events)
    : owner_(owner),
      events_(events),
      schedule_(queue, kMaxResolving, [this](const std::string& key) { return openResolver(key); }) {}

Browser::~Browser() {
  forgetInstances(true);  // none are held once the client is gone
  if (avahi_) avahi_service_browser_free(avahi_);
}

void Browser::open(AvahiClient* client) {
  client_ = client;
  std::string type(serviceType);
  avahi_ = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.c_str(), "local",
                                     AvahiLookupFlags(0), onBrowseEvent, this);
  if (!avahi_) return report(State::Failed, avahiError(avahi_client_errno(client)));
  report(State::Ready, std::nullopt);
}

void Browser::waiting(const NetError& why) { report(State::Waiting, why); }

void Browser::clientGone(const NetError& why) {
  avahi_ = nullptr;
  client_ = nullptr;
  forgetInstances(false);  // the client frees their resolvers
  owner_.resultsChanged();
  report(State::Waiting, why);
}

// A browser reports changes only, as the object it stands for does.
void Browser::report(State state, const std::optional<NetError>& error) {
  std::string code = error ? errorCode(*error) : std::string();
  if (state == state_ && code == code_) return;
  state_ = state;
  code_ = std::move(code);
  owner_.browserState(state, error);
}

const std::vector<tcp::endpoint>* Browser::addresses(const std::string& endpointId) const {
  const std::string* key = endpoints_.keyOf(endpointId);
  if (!key) return nullptr;
  auto instance = instances_.find(*key);
  return instance == instances_.end() ? nullptr : &instance->second->addresses;
}

void Browser::onBrowse(AvahiServiceBrowser* b, int interface, int protocol, int event, const char* name,
                       const char* type, const char* domain) {
  if (b != avahi_) return;
  if (event == AVAHI_BROWSER_FAILURE) return failed();
  if (event != AVAHI_BROWSER_NEW && event != AVAHI_BROWSER_REMOVE) return;
  std::string key = std::string(name) + '\0' + type + '\0' + domain;
  const std::pair<int, int> link{interface, protocol};
  auto it = instances_.find(key);
  if (event == AVAHI_BROWSER_NEW) {
    if (it == instances_.end()) return added(key, link, name, type, domain);
    Instance& instance = *it->second;
    if (std::find(instance.links.begin(), instance.links.end(), link) == instance.links.end())
      instance.links.push_back(link);
    return;
  }
  if (it != instances_.end()) removed(it, link);
}

void Browser::failed() {
  const int error = avahi_client_errno(client_);
  forgetInstances(true);
  avahi_service_browser_free(avahi_);
  avahi_ = nullptr;
  owner_.resultsChanged();
  report(State::Failed, avahiError(error));
}

void Browser::added(const std::string& key, std::pair<int, int> link, const char* name, const char* type,
                    const char* domain) {
  if (instances_.size() >= kMaxInstances && !evictRejected()) return;
  auto instance = std::make_unique<Instance>();
  instance->key = key;
  instance->name = name;
  instance->type = type;
  instance->domain = domain;
  instance->arrival = ++arrivals_;
  instance->links.push_back(link);
  instances_.emplace(key, std::move(instance));
  schedule_.want(key);
}

void Browser::removed(std::map<std::string, std::unique_ptr<Instance>>::iterator it, std::pair<int, int> link) {
  Instance& instance = *it->second;
  const std::string key = instance.key;
  instance.links.erase(std::remove(instance.links.begin(), instance.links.end(), link), instance.links.end());
  if (instance.links.empty()) {
    const bool visible = instance.values || endpoints_.has(key);
    freeResolver(instance);
    schedule_.forget(key);
    instances_.erase(it);
    if (visible) owner_.resultsChanged();
    return;
  }
  if (instance.resolving == link && instance.resolver) {
    // Resolved on a link that went away: ask again on another one.
    freeResolver(instance);
    instance.undecided = false;
    schedule_.forget(key);
    schedule_.want(key);
  }
}

ResolveSchedule::Opened Browser::openResolver(const std::string& key) {
  if (!client_) return ResolveSchedule::Opened::Gone;
  auto it = instances_.find(key);
  if (it == instances_.end() || it->second->links.empty()) return ResolveSchedule::Opened::Gone;
  Instance& instance = *it->second;
  instance.resolving = instance.links.front();
  instance.resolver = avahi_service_resolver_new(client_, instance.resolving.first, instance.resolving.second,
                                                 instance.name.c_str(), instance.type.c_str(), instance.domain.c_str(),
                                                 AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), onResolveEvent, this);
  // Refused (the daemon's object limit, most likely): the schedule tries again after a back-off.
  if (!instance.resolver) return ResolveSchedule::Opened::Failed;
  byResolver_[instance.resolver] = &instance;
  return ResolveSchedule::Opened::Yes;
}

void Browser::freeResolver(Instance& instance) {
  if (!instance.resolver) return;
  byResolver_.erase(instance.resolver);
  avahi_service_resolver_free(instance.resolver);
  instance.resolver = nullptr;
}

// Empties the table; `freeResolvers` is false when the client has gone and frees them itself.
void Browser::forgetInstances(bool freeResolvers) {
  if (freeResolvers)
    for (auto& [resolver, instance] : byResolver_) avahi_service_resolver_free(resolver);
  byResolver_.clear();
  instances_.clear();
  rejected_.clear();
  schedule_.clear();
}

// Makes room in a full table: the oldest instance decided not reportable leaves it.
bool Browser::evictRejected() {
  while (!rejected_.empty()) {
    std::string key = std::move(rejected_.front());
    rejected_.pop_front();
    auto it = instances_.find(key);
    if (it == instances_.end()) continue;
    const Instance& instance = *it->second;
    if (!instance.resolved || instance.values || instance.resolver || endpoints_.has(key)) continue;
    schedule_.forget(key);
    instances_.erase(it);
    return true;
  }
  return false;
}

void Browser::onResolved(AvahiServiceResolver* r, Resolved& result) {
  auto found = byResolver_.find(r);
  if (found == byResolver_.end()) return;
  Instance& instance = *found->second;
  const std::string key = instance.key;
  if (result.found) {
    instance.resolved = true;
    instance.values = std::move(result.values);
    instance.addresses.clear();
    if (result.address) instance.addresses.push_back(*result.address);
    if (endpoints_.has(key)) {
      // A reported endpoint keeps its resolver, outside the slots, to follow its changes.
      schedule_.settled(key);
      return owner_.resultsChanged();
    }
    if (instance.values) {
      instance.undecided = true;  // the delivery gives it an id, or frees its resolver
      return owner_.resultsChanged();
    }
    return reject(instance);
  }
  // Not resolvable for now: asked again after a back-off. One that answered before keeps that
  // answer, and its id: it is in the results for as long as the browser lists it (a daemon busy
  // with a flood lets a followed resolver time out while the peer is still there).
  freeResolver(instance);
  schedule_.failed(key);
  if (instance.undecided) {
    instance.undecided = false;
    owner_.resultsChanged();  // the delivery decides it without its resolver
  }
}

// Never reported as it stands: the resolver goes, the decision stays.
void Browser::reject(Instance& instance) {
  const std::string key = instance.key;
  freeResolver(instance);
  schedule_.settled(key);
  rejected_.push_back(key);
  if (rejected_.size() <= 2 * kMaxInstances) return;
  std::deque<std::string> kept;
  for (auto& candidate : rejected_) {
    auto it = instances_.find(candidate);
    if (it != instances_.end() && it->second->resolved && !it->second->values) kept.push_back(candidate);
  }
  rejected_ = std::move(kept);
}

void Browser::deliver() {
  const std::vector<std::string> gone = endpoints_.keepOnly([this](const std::string& key) {
    auto instance = instances_.find(key);
    return instance != instances_.end() && instance->second->resolved;
  });
  for (const std::string& id : gone) events_.lost(id);
  std::vector<Instance*> reportable;
  for (auto& [key, instance] : instances_)
    if (instance->resolved && instance->values) reportable.push_back(instance.get());
  std::sort(reportable.begin(), reportable.end(),
            [](const Instance* a, const Instance* b) { return a->arrival < b->arrival; });
  for (Instance* instance : reportable)
    if (announce(*instance)) events_.found(*endpoints_.idOf(instance->key), *instance->values);
}

// Gives a reportable instance its id when it has none and there is room; false without room.
bool Browser::announce(Instance& instance) {
  if (endpoints_.has(instance.key)) return true;
  if (endpoints_.full()) {
    // No room: it stays in the results with what it answered, without a resolver.
    if (instance.undecided) {
      instance.undecided = false;
      freeResolver(instance);
      schedule_.settled(instance.key);
    }
    return false;
  }
  endpoints_.add(instance.key, makeUuid());
  if (instance.undecided) {
    instance.undecided = false;
    schedule_.settled(instance.key);  // its resolver now follows a reported endpoint
  } else if (!instance.resolver) {
    schedule_.want(instance.key);  // reported from what it answered before: follow it again
  }
  return true;
}

}  // namespace nearby
