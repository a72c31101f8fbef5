#include "bridge.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cstring>
#include <set>

#include "avahi_poll.h"
#include "base64.h"
#include "browser.h"
#include "payload.h"
#include "send_line.h"
#include "text.h"
#include "utf8.h"

namespace nearby {

using boost::system::error_code;

// ---------------------------------------------------------------------------------------------
// Errors

namespace {

// The DNS-SD numbers for the Avahi errors that have one.
constexpr int kServiceNotRunning = -65563;
constexpr int kNameConflict = -65548;

}  // namespace

std::string errorCode(const NetError& error) {
  switch (error.kind) {
    case NetError::Kind::Posix:
      switch (error.value) {
        case EPERM: return "EPERM";
        case EACCES: return "EACCES";
        case ENETDOWN: return "ENETDOWN";
        case ENETUNREACH: return "ENETUNREACH";
        case ETIMEDOUT: return "ETIMEDOUT";
        case ECONNREFUSED: return "ECONNREFUSED";
        default: return "POSIX_" + std::to_string(error.value);
      }
    case NetError::Kind::Avahi:
      switch (error.value) {
        case AVAHI_ERR_NO_DAEMON:
        case AVAHI_ERR_DISCONNECTED:
        case AVAHI_ERR_DBUS_ERROR:  // no system bus: the daemon cannot be reached either
          return "DNS_" + std::to_string(kServiceNotRunning);
        case AVAHI_ERR_COLLISION: return "DNS_" + std::to_string(kNameConflict);
        case AVAHI_ERR_ACCESS_DENIED:
        case AVAHI_ERR_NOT_PERMITTED: return "POLICY_DENIED";
        default: return "DNS_" + std::to_string(error.value);
      }
    case NetError::Kind::Other: break;
  }
  return "NETWORK_ERROR";
}

NetError netErrorOf(const error_code& error) {
  if (error.category() == boost::system::system_category() || error.category() == boost::system::generic_category())
    return {NetError::Kind::Posix, error.value()};
  return {NetError::Kind::Other, error.value()};
}

namespace {

NetError avahiError(int value) { return {NetError::Kind::Avahi, value}; }

bool isWaitingError(const error_code& error) {
  if (error.category() != boost::system::system_category()) return false;
  switch (error.value()) {
    case ECONNREFUSED:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
    case ETIMEDOUT:
    case EADDRNOTAVAIL:
      return true;
    default:
      return false;
  }
}

void setTransportOptions(tcp::socket& socket) {
  error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  int idle = 10;
  ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
}

const char* stateName(int state) {
  static const char* names[] = {"", "ready", "waiting", "failed", "cancelled"};
  return names[state];
}

Json event(std::string_view name) {
  Json e = Json::object();
  e["event"] = std::string(name);
  return e;
}

Json errorEvent(std::string_view code) {
  Json e = event("error");
  e["code"] = std::string(code);
  return e;
}

bool validName(const std::string& name) {
  size_t characters = graphemeCount(name);
  if (characters < 8 || characters > 63) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
  });
}

constexpr const char* kTxtKeys[] = {"v", "r", "p", "m"};
constexpr size_t kMaxTxtValue = 128;
// Browse entries held at once, decided or not. When full, a newcomer takes the place of the
// oldest instance decided not reportable; with none of those it is dropped.
constexpr size_t kMaxInstances = 8192;
// Resolvers open at once for instances not yet decided; reported endpoints keep theirs besides
// (at most maxEndpoints), so with the browser and the entry group the daemon holds at most 290
// objects of ours, well under its default objects-per-client-max of 1,024.
constexpr size_t kMaxResolving = 32;
constexpr auto kClientRetry = std::chrono::seconds(2);
constexpr auto kFirstBackoff = std::chrono::milliseconds(500);
constexpr auto kLastBackoff = std::chrono::seconds(5);
// One read from a channel becomes one "data" event, of at most this many bytes (the host's bound).
constexpr size_t kReadSize = 65'536;
// Writes past this size take a buffer of the largest write's size, kept for the next one (at most
// kSpareWrites of them): fresh ones would be mapped and faulted in on every send.
constexpr size_t kPooledWrite = 65'536;
constexpr size_t kSpareWrites = 4;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Types

struct NearbyBridge::WriteBytes {
  std::unique_ptr<char[]> data;
  size_t size = 0;
};

struct NearbyBridge::Channel {
  tcp::socket socket;
  bool outbound;
  int64_t pending = 0;
  bool ready = false;
  std::vector<tcp::endpoint> addresses;  // outbound: tried in turn
  size_t nextAddress = 0;
  asio::steady_timer retry;
  std::chrono::milliseconds backoff = kFirstBackoff;
  struct Write {
    WriteBytes bytes;
    std::string requestId;
  };
  std::deque<Write> writes;  // bounded by the pending limits
  bool writing = false;
  std::string dataPrefix;  // what every "data" event starts with: the channel's id

  Channel(tcp::socket s, bool out) : socket(std::move(s)), outbound(out), retry(socket.get_executor()) {}
};

// One browsed instance. It holds a resolver while it is being resolved (a slot of the schedule),
// while a reportable answer waits for the next delivery (still the slot), and while it has an
// endpoint id (no slot: that resolver follows its changes). Otherwise it keeps only its decision.
struct NearbyBridge::Instance {
  std::string key, name, type, domain;
  uint64_t arrival = 0;  // the browser's order, in which results are delivered
  std::vector<std::pair<int, int>> links;  // (interface, protocol) pairs it is browsed on
  AvahiServiceResolver* resolver = nullptr;
  std::pair<int, int> resolving{-1, -1};
  bool resolved = false;   // answered: in the results
  bool undecided = false;  // reportable, and the next delivery decides whether it keeps its resolver
  std::optional<TxtValues> values;  // when its TXT is reportable
  std::vector<tcp::endpoint> addresses;
};

struct NearbyBridge::Browser {
  AvahiServiceBrowser* avahi = nullptr;
  std::map<std::string, std::unique_ptr<Instance>> instances;  // by key
  std::map<AvahiServiceResolver*, Instance*> byResolver;
  std::deque<std::string> rejected;  // keys decided not reportable, oldest first; some may be stale
  uint64_t arrivals = 0;
  std::unique_ptr<ResolveSchedule> schedule;
  State state = State::None;
  std::string code;
};

// ---------------------------------------------------------------------------------------------
// Avahi trampolines

namespace {

NearbyBridge* bridgeOf(void* userdata) { return static_cast<NearbyBridge*>(userdata); }

}  // namespace

struct AvahiCallbacks {
  static void client(AvahiClient* c, AvahiClientState state, void* userdata);
  static void group(AvahiEntryGroup* g, AvahiEntryGroupState state, void* userdata);
  static void browse(AvahiServiceBrowser* b, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
                     const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* userdata);
  static void resolve(AvahiServiceResolver* r, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event, const char*,
                      const char*, const char*, const char* host, const AvahiAddress* address, uint16_t port,
                      AvahiStringList* txt, AvahiLookupResultFlags, void* userdata);
};

// ---------------------------------------------------------------------------------------------
// Process protocol

NearbyBridge::NearbyBridge(asio::io_context& q, Hooks hooks)
    : queue(q), hooks_(std::move(hooks)), clientRetry_(q) {}

NearbyBridge::~NearbyBridge() {
  if (client_) avahi_client_free(client_);
}

void NearbyBridge::handleLine(std::string_view line) {
  if (sendFast(line)) return;
  // The reader's buffers grow to the longest line, which the reader bounds.
  std::optional<Json> value = reader_.parse(line);
  if (!value || !value->is_object()) {
    emit(errorEvent("INVALID_JSON"));
    return;
  }
  handle(*value);
}

void NearbyBridge::handle(const Json& payload) {
  const std::string* command = mirelo::readString(payload, "command");
  if (!command) return emit(errorEvent("INVALID_COMMAND"));
  if (*command == "start") {
    if (!start(payload)) emit(errorEvent("LISTENER_START_FAILED"));
    return;
  }
  if (*command == "stop") {
    shutdown();
    emit(event("stopped"));
    hooks_.exit(0);
    return;
  }
  if (!started) return emit(errorEvent("NOT_STARTED"));
  if (*command == "discovery") {
    const Json* enabled = mirelo::readValue(payload, "enabled");
    const std::string* windowId = mirelo::readString(payload, "windowId");
    if (enabled && enabled->is_boolean() && windowId && graphemeCount(*windowId) <= 64) {
      discoveryWindowID = *windowId;
      setDiscovery(enabled->get<bool>());
      return;
    }
  }
  const std::string* id = mirelo::readString(payload, "connectionId");
  if (!id || id->size() > maxIdBytes) return emit(errorEvent("INVALID_CONNECTION"));
  if (*command == "connect") return connect(payload, *id);
  if (*command == "close") return close(*id, std::nullopt);
  if (*command == "send") return send(payload, *id);
  emit(errorEvent("INVALID_COMMAND"));
}

void NearbyBridge::emit(const Json& object) {
  std::optional<std::string> text = mirelo::writeJson(object);
  if (!text || text->size() > maxCommand) return;
  text->push_back('\n');
  writeLine(*text);
}

void NearbyBridge::writeLine(std::string_view line) {
  if (hooks_.write(line)) return;
  shutdown();
  hooks_.exit(0);
}

void NearbyBridge::emitData(Channel& channel, const char* bytes, size_t size) {
  // The one large event: written straight into its reused line (keys in the writer's order).
  if (channel.dataPrefix.empty()) return;  // an id the writer refuses gets no events
  std::string& line = lineBuffer_;
  line.assign(channel.dataPrefix);
  mirelo::base64EncodeAppend(line, std::string_view(bytes, size));
  line.append("\",\"event\":\"data\"}");
  if (line.size() > maxCommand) return;
  line.push_back('\n');
  writeLine(line);
}

void NearbyBridge::shutdown() {
  discoveryDeadline.reset();
  started = false;
  clientRetry_.cancel();
  browser.reset();
  if (listener) {
    error_code ignored;
    listener->close(ignored);
    listener.reset();
  }
  if (client_) {
    avahi_client_free(client_);  // frees the entry group, the browser and its resolvers with it
    client_ = nullptr;
  }
  group_ = nullptr;
  clientRunning_ = false;
  for (auto& [id, channel] : channels) {
    error_code ignored;
    channel->socket.close(ignored);
    channel->retry.cancel();
  }
  channels.clear();
  endpoints.clear();
  endpointIDs.clear();
  pendingBytes = 0;
}

// ---------------------------------------------------------------------------------------------
// Discovery and listening

bool NearbyBridge::start(const Json& payload) {
  auto refuse = [this] {
    emit(errorEvent("INVALID_START"));
    return true;
  };
  if (started) return refuse();
  const std::string* name = mirelo::readString(payload, "name");
  if (!name || !validName(*name)) return refuse();
  const Json* txt = mirelo::readObject(payload, "txt");
  if (!txt) return refuse();
  for (const auto& [key, value] : txt->items())
    if (!value.is_string()) return refuse();
  if (txt->size() != 4) return refuse();
  Service service;
  service.name = *name;
  for (const char* key : kTxtKeys) {
    auto it = txt->find(key);
    if (it == txt->end()) return refuse();
    const std::string& value = it->get_ref<const std::string&>();
    if (value.empty() || value.size() > kMaxTxtValue) return refuse();
    service.txt.emplace_back(key, value);
  }
  started = true;

  auto acceptor = std::make_unique<tcp::acceptor>(queue);
  auto open = [&](tcp protocol) {
    error_code error;
    acceptor->open(protocol, error);
    if (!error && protocol == tcp::v6()) acceptor->set_option(asio::ip::v6_only(false), error);
    if (!error) acceptor->bind(tcp::endpoint(protocol, 0), error);
    if (!error) acceptor->listen(asio::socket_base::max_listen_connections, error);
    if (error) acceptor->close(error);
    return acceptor->is_open();
  };
  if (!open(tcp::v6()) && !open(tcp::v4())) return false;
  error_code error;
  service.port = acceptor->local_endpoint(error).port();
  if (error) return false;
  listener = std::move(acceptor);
  publishedService = std::move(service);
  advertising_ = discoveryOpen;
  poll_ = std::make_unique<AsioAvahiPoll>(queue);
  accept();
  connectClient();
  startBrowser();
  armDiscoveryDeadline();
  return true;
}

void NearbyBridge::startBrowser() {
  browser = std::make_unique<Browser>();
  Browser* made = browser.get();
  made->schedule = std::make_unique<ResolveSchedule>(
      queue, kMaxResolving, [this, made](const std::string& key) { return openResolver(*made, key); });
  if (!poll_) return;  // the listener could not be made: there is nothing to browse with
  if (clientRunning_) {
    openAvahiBrowser(*browser);
  } else if (!client_) {
    reportBrowser(*browser, State::Waiting, avahiError(AVAHI_ERR_NO_DAEMON));
  } else {
    reportBrowser(*browser, State::Waiting, avahiError(avahi_client_errno(client_) ? avahi_client_errno(client_)
                                                                                    : AVAHI_ERR_NO_DAEMON));
  }
}

void NearbyBridge::armDiscoveryDeadline() {
  discoveryDeadline = std::make_unique<asio::steady_timer>(queue, discoveryWindow);
  asio::steady_timer* timer = discoveryDeadline.get();
  timer->async_wait([this, timer](error_code error) {
    if (error || discoveryDeadline.get() != timer) return;
    setDiscovery(false);
  });
}

void NearbyBridge::setDiscovery(bool enabled) {
  discoveryDeadline.reset();
  discoveryOpen = enabled;
  if (enabled) {
    if (listener) advertise();
    if (!browser) startBrowser();
    armDiscoveryDeadline();
  } else {
    std::unique_ptr<Browser> closing = std::move(browser);
    if (closing && closing->avahi) {
      forgetInstances(*closing, true);
      avahi_service_browser_free(closing->avahi);
    }
    browserReady = false;
    if (listener) withdraw();
    endpoints.clear();
    endpointIDs.clear();
  }
  Json e = event("discovery-window");
  e["open"] = enabled;
  e["windowId"] = discoveryWindowID;
  emit(e);
}

void NearbyBridge::reportState(std::string_view component, State state, std::optional<NetError> error) {
  Json e = event("status");
  e["component"] = std::string(component);
  e["state"] = stateName(static_cast<int>(state));
  if (error) e["code"] = errorCode(*error);
  emit(e);
  if (listenerReady && browserReady && !announcedReady) {
    announcedReady = true;
    Json ready = event("ready");
    ready["protocol"] = 1;
    ready["peerToPeerEnabled"] = true;
    emit(ready);
  }
}

// Listener and browser report state changes only, as the objects they stand for do.
void NearbyBridge::reportListener(State state, std::optional<NetError> error) {
  if (!started || !listener) return;
  std::string code = error ? errorCode(*error) : std::string();
  if (state == listenerState_ && code == listenerCode_) return;
  listenerState_ = state;
  listenerCode_ = code;
  listenerReady = state == State::Ready;
  reportState("listener", state, error);
}

void NearbyBridge::reportBrowser(Browser& reporting, State state, std::optional<NetError> error) {
  if (!started || browser.get() != &reporting) return;
  std::string code = error ? errorCode(*error) : std::string();
  if (state == reporting.state && code == reporting.code) return;
  reporting.state = state;
  reporting.code = code;
  browserReady = state == State::Ready;
  reportState("browser", state, error);
}

void NearbyBridge::accept() {
  tcp::acceptor* current = listener.get();
  current->async_accept([this, current](error_code error, tcp::socket socket) {
    if (listener.get() != current) return;
    if (!error) {
      onAccepted(std::move(socket));
      return accept();
    }
    if (error == asio::error::operation_aborted) return;
    // Out of descriptors or memory: try again shortly rather than spin.
    auto timer = std::make_shared<asio::steady_timer>(queue, std::chrono::milliseconds(100));
    timer->async_wait([this, current, timer](error_code) {
      if (listener.get() == current) accept();
    });
  });
}

void NearbyBridge::onAccepted(tcp::socket socket) {
  if (!started || !discoveryOpen || channels.size() >= maxConnections) {
    error_code ignored;
    socket.close(ignored);
    return;
  }
  setTransportOptions(socket);
  addConnection(std::make_shared<Channel>(std::move(socket), false), makeUuid());
}

void NearbyBridge::connectClient() {
  if (!started) return;
  int error = 0;
  creatingClient_ = true;
  AvahiClient* created =
      avahi_client_new(poll_->get(), AVAHI_CLIENT_NO_FAIL, AvahiCallbacks::client, this, &error);
  creatingClient_ = false;
  if (created) {
    client_ = created;
    return;
  }
  // No system bus (or no memory): report, and look again later.
  client_ = nullptr;
  clientRunning_ = false;
  if (advertising_) reportListener(State::Waiting, avahiError(error));
  if (browser) reportBrowser(*browser, State::Waiting, avahiError(error));
  clientRetry_.expires_after(kClientRetry);
  clientRetry_.async_wait([this](error_code e) {
    if (!e && started && !client_) connectClient();
  });
}

void AvahiCallbacks::client(AvahiClient* c, AvahiClientState state, void* userdata) {
  bridgeOf(userdata)->onClientState(c, state);
}

void NearbyBridge::onClientState(AvahiClient* c, int state) {
  if (creatingClient_ && !client_) client_ = c;
  if (c != client_ || !started) return;
  switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
      clientRunning_ = true;
      if (advertising_) registerService();
      if (browser && !browser->avahi) openAvahiBrowser(*browser);
      break;
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_COLLISION:
      // The host name is being (re)registered: records are published again once running.
      if (group_) avahi_entry_group_reset(group_);
      break;
    case AVAHI_CLIENT_CONNECTING:
      if (clientRunning_) return dropClient(avahiError(AVAHI_ERR_DISCONNECTED));
      if (advertising_) reportListener(State::Waiting, avahiError(AVAHI_ERR_NO_DAEMON));
      if (browser) reportBrowser(*browser, State::Waiting, avahiError(AVAHI_ERR_NO_DAEMON));
      break;
    case AVAHI_CLIENT_FAILURE:
      dropClient(avahiError(avahi_client_errno(c)));
      break;
    default:
      break;
  }
}

// The daemon went away: everything made with the client is gone with it. Wait for the daemon with
// a fresh client; advertising and browsing resume when it runs again.
void NearbyBridge::dropClient(NetError why) {
  AvahiClient* old = client_;
  client_ = nullptr;
  clientRunning_ = false;
  group_ = nullptr;
  if (browser) {
    browser->avahi = nullptr;
    forgetInstances(*browser, false);  // the client frees their resolvers
    resultsChanged();
    reportBrowser(*browser, State::Waiting, why);
  }
  if (advertising_) reportListener(State::Waiting, why);
  asio::post(queue, [this, old] {
    avahi_client_free(old);
    if (started && !client_) connectClient();
  });
}

void NearbyBridge::advertise() {
  advertising_ = true;
  registerService();
}

void NearbyBridge::withdraw() {
  advertising_ = false;
  if (group_) avahi_entry_group_reset(group_);
}

void NearbyBridge::registerService() {
  if (!clientRunning_ || !publishedService || !advertising_) return;
  if (!group_) {
    group_ = avahi_entry_group_new(client_, AvahiCallbacks::group, this);
    if (!group_) return reportListener(State::Failed, avahiError(avahi_client_errno(client_)));
  }
  if (!avahi_entry_group_is_empty(group_)) return;
  AvahiStringList* txt = nullptr;
  // Avahi prepends to its lists and writes them to the wire last item first: this gives v, r, p, m.
  // Each string is added with its length: a value may hold U+0000, which C strings would cut.
  for (const auto& [key, value] : publishedService->txt) {
    const std::string entry = key + '=' + value;
    txt = avahi_string_list_add_arbitrary(txt, reinterpret_cast<const uint8_t*>(entry.data()), entry.size());
  }
  std::string type(serviceType);
  int result = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    result = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                  publishedService->name.c_str(), type.c_str(), nullptr, nullptr,
                                                  publishedService->port, txt);
    if (result != AVAHI_ERR_COLLISION) break;
    char* alternative = avahi_alternative_service_name(publishedService->name.c_str());
    publishedService->name = alternative;
    avahi_free(alternative);
  }
  avahi_string_list_free(txt);
  if (result >= 0) result = avahi_entry_group_commit(group_);
  if (result < 0) reportListener(State::Failed, avahiError(result));
}

void AvahiCallbacks::group(AvahiEntryGroup* g, AvahiEntryGroupState state, void* userdata) {
  bridgeOf(userdata)->onGroupState(g, state);
}

void NearbyBridge::onGroupState(AvahiEntryGroup* g, int state) {
  if (g != group_ || !started) return;
  switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
      reportListener(State::Ready, std::nullopt);
      break;
    case AVAHI_ENTRY_GROUP_COLLISION: {
      // Another host holds the name: take the next alternative ("name #2", ...) and publish again.
      char* alternative = avahi_alternative_service_name(publishedService->name.c_str());
      publishedService->name = alternative;
      avahi_free(alternative);
      avahi_entry_group_reset(group_);
      registerService();
      break;
    }
    case AVAHI_ENTRY_GROUP_FAILURE:
      reportListener(State::Failed, avahiError(avahi_client_errno(client_)));
      break;
    default:
      break;
  }
}

void NearbyBridge::openAvahiBrowser(Browser& target) {
  std::string type(serviceType);
  target.avahi = avahi_service_browser_new(client_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.c_str(), "local",
                                           AvahiLookupFlags(0), AvahiCallbacks::browse, this);
  if (!target.avahi) return reportBrowser(target, State::Failed, avahiError(avahi_client_errno(client_)));
  reportBrowser(target, State::Ready, std::nullopt);
}

void AvahiCallbacks::browse(AvahiServiceBrowser* b, AvahiIfIndex interface, AvahiProtocol protocol,
                            AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                            AvahiLookupResultFlags, void* userdata) {
  bridgeOf(userdata)->onBrowse(b, interface, protocol, event, name, type, domain);
}

void NearbyBridge::onBrowse(AvahiServiceBrowser* b, int interface, int protocol, int event, const char* name,
                            const char* type, const char* domain) {
  if (!started || !browser || browser->avahi != b) return;
  Browser& current = *browser;
  if (event == AVAHI_BROWSER_FAILURE) {
    int error = avahi_client_errno(client_);
    forgetInstances(current, true);
    avahi_service_browser_free(current.avahi);
    current.avahi = nullptr;
    resultsChanged();
    return reportBrowser(current, State::Failed, avahiError(error));
  }
  if (event != AVAHI_BROWSER_NEW && event != AVAHI_BROWSER_REMOVE) return;
  std::string key = std::string(name) + '\0' + type + '\0' + domain;
  auto it = current.instances.find(key);
  std::pair<int, int> link{interface, protocol};
  if (event == AVAHI_BROWSER_NEW) {
    if (it == current.instances.end()) {
      if (current.instances.size() >= kMaxInstances && !evictRejected(current)) return;
      auto instance = std::make_unique<Instance>();
      instance->key = key;
      instance->name = name;
      instance->type = type;
      instance->domain = domain;
      instance->arrival = ++current.arrivals;
      instance->links.push_back(link);
      current.instances.emplace(key, std::move(instance));
      current.schedule->want(key);
      return;
    }
    Instance& instance = *it->second;
    if (std::find(instance.links.begin(), instance.links.end(), link) == instance.links.end())
      instance.links.push_back(link);
    return;
  }
  if (it == current.instances.end()) return;
  Instance& instance = *it->second;
  instance.links.erase(std::remove(instance.links.begin(), instance.links.end(), link), instance.links.end());
  if (instance.links.empty()) {
    const bool visible = instance.values || endpointIDs.count(key);
    freeResolver(current, instance);
    current.schedule->forget(key);
    current.instances.erase(it);
    if (visible) resultsChanged();
    return;
  }
  if (instance.resolving == link && instance.resolver) {
    // Resolved on a link that went away: ask again on another one.
    freeResolver(current, instance);
    instance.undecided = false;
    current.schedule->forget(key);
    current.schedule->want(key);
  }
}

ResolveSchedule::Opened NearbyBridge::openResolver(Browser& target, const std::string& key) {
  if (browser.get() != &target || !client_) return ResolveSchedule::Opened::Gone;
  auto it = target.instances.find(key);
  if (it == target.instances.end() || it->second->links.empty()) return ResolveSchedule::Opened::Gone;
  Instance& instance = *it->second;
  instance.resolving = instance.links.front();
  instance.resolver = avahi_service_resolver_new(client_, instance.resolving.first, instance.resolving.second,
                                                 instance.name.c_str(), instance.type.c_str(), instance.domain.c_str(),
                                                 AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), AvahiCallbacks::resolve, this);
  // Refused (the daemon's object limit, most likely): the schedule tries again after a back-off.
  if (!instance.resolver) return ResolveSchedule::Opened::Failed;
  target.byResolver[instance.resolver] = &instance;
  return ResolveSchedule::Opened::Yes;
}

void NearbyBridge::freeResolver(Browser& target, Instance& instance) {
  if (!instance.resolver) return;
  target.byResolver.erase(instance.resolver);
  avahi_service_resolver_free(instance.resolver);
  instance.resolver = nullptr;
}

// Empties the table; `freeResolvers` is false when the client has gone and frees them itself.
void NearbyBridge::forgetInstances(Browser& target, bool freeResolvers) {
  if (freeResolvers)
    for (auto& [resolver, instance] : target.byResolver) avahi_service_resolver_free(resolver);
  target.byResolver.clear();
  target.instances.clear();
  target.rejected.clear();
  target.schedule->clear();
}

// Makes room in a full table: the oldest instance decided not reportable leaves it.
bool NearbyBridge::evictRejected(Browser& target) {
  while (!target.rejected.empty()) {
    std::string key = std::move(target.rejected.front());
    target.rejected.pop_front();
    auto it = target.instances.find(key);
    if (it == target.instances.end()) continue;
    const Instance& instance = *it->second;
    if (!instance.resolved || instance.values || instance.resolver || endpointIDs.count(key)) continue;
    target.schedule->forget(key);
    target.instances.erase(it);
    return true;
  }
  return false;
}

void AvahiCallbacks::resolve(AvahiServiceResolver* r, AvahiIfIndex interface, AvahiProtocol, AvahiResolverEvent event,
                             const char*, const char*, const char*, const char*, const AvahiAddress* address,
                             uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags, void* userdata) {
  NearbyBridge::ResolvedService result;
  result.event = event;
  if (event == AVAHI_RESOLVER_FOUND && address) {
    if (address->proto == AVAHI_PROTO_INET) {
      result.address = tcp::endpoint(asio::ip::address_v4(ntohl(address->data.ipv4.address)), port);
    } else if (address->proto == AVAHI_PROTO_INET6) {
      asio::ip::address_v6::bytes_type bytes;
      std::memcpy(bytes.data(), address->data.ipv6.address, bytes.size());
      asio::ip::address_v6 v6(bytes);
      if (v6.is_link_local()) v6.scope_id(static_cast<unsigned long>(interface));
      result.address = tcp::endpoint(v6, port);
    }
    std::vector<std::string_view> strings;
    for (AvahiStringList* item = txt; item; item = avahi_string_list_get_next(item))
      strings.emplace_back(reinterpret_cast<const char*>(avahi_string_list_get_text(item)),
                           avahi_string_list_get_size(item));
    result.values = readTxt(strings);
  }
  bridgeOf(userdata)->onResolved(r, result);
}

void NearbyBridge::onResolved(AvahiServiceResolver* r, ResolvedService& result) {
  if (!started || !browser) return;
  Browser& current = *browser;
  auto found = current.byResolver.find(r);
  if (found == current.byResolver.end()) return;
  Instance& instance = *found->second;
  const std::string key = instance.key;
  const bool visible = endpointIDs.count(key) > 0;
  if (result.event == AVAHI_RESOLVER_FOUND) {
    instance.resolved = true;
    instance.values = std::move(result.values);
    instance.addresses.clear();
    if (result.address) instance.addresses.push_back(*result.address);
    if (visible) {
      // A reported endpoint keeps its resolver, outside the slots, to follow its changes.
      current.schedule->settled(key);
      return resultsChanged();
    }
    if (instance.values) {
      instance.undecided = true;  // the delivery gives it an id, or frees its resolver
      return resultsChanged();
    }
    // Never reported as it stands: the resolver goes, the decision stays.
    freeResolver(current, instance);
    current.schedule->settled(key);
    current.rejected.push_back(key);
    if (current.rejected.size() > 2 * kMaxInstances) {
      std::deque<std::string> kept;
      for (auto& candidate : current.rejected) {
        auto it = current.instances.find(candidate);
        if (it != current.instances.end() && it->second->resolved && !it->second->values) kept.push_back(candidate);
      }
      current.rejected = std::move(kept);
    }
    return;
  }
  // Not resolvable for now: asked again after a back-off. One that answered before keeps that
  // answer, and its id: it is in the results for as long as the browser lists it (a daemon busy
  // with a flood lets a followed resolver time out while the peer is still there).
  freeResolver(current, instance);
  current.schedule->failed(key);
  if (instance.undecided) {
    instance.undecided = false;
    resultsChanged();  // the delivery decides it without its resolver
  }
}

// Avahi reports one change at a time; the host gets the result set once per batch of changes.
void NearbyBridge::resultsChanged() {
  if (resultsPosted_) return;
  resultsPosted_ = true;
  asio::post(queue, [this] {
    resultsPosted_ = false;
    deliverResults();
  });
}

void NearbyBridge::deliverResults() {
  if (!started || !discoveryOpen || !browser) return;
  Browser& current = *browser;
  for (auto it = endpointIDs.begin(); it != endpointIDs.end();) {
    auto instance = current.instances.find(it->first);
    if (instance != current.instances.end() && instance->second->resolved) {
      ++it;
      continue;
    }
    std::string id = it->second;
    endpoints.erase(id);
    it = endpointIDs.erase(it);
    Json lost = event("lost");
    lost["endpointId"] = id;
    emit(lost);
  }
  std::vector<Instance*> reportable;
  for (auto& [key, instance] : current.instances)
    if (instance->resolved && instance->values) reportable.push_back(instance.get());
  std::sort(reportable.begin(), reportable.end(), [](const Instance* a, const Instance* b) { return a->arrival < b->arrival; });
  for (Instance* instance : reportable) {
    auto known = endpointIDs.find(instance->key);
    std::string id;
    if (known != endpointIDs.end()) {
      id = known->second;
    } else if (endpoints.size() >= maxEndpoints) {
      // No room: it stays in the results with what it answered, without a resolver.
      if (instance->undecided) {
        instance->undecided = false;
        freeResolver(current, *instance);
        current.schedule->settled(instance->key);
      }
      continue;
    } else {
      id = makeUuid();
      endpointIDs[instance->key] = id;
      endpoints[id] = instance->key;
      if (instance->undecided) {
        instance->undecided = false;
        current.schedule->settled(instance->key);  // its resolver now follows a reported endpoint
      } else if (!instance->resolver) {
        current.schedule->want(instance->key);  // reported from what it answered before: follow it again
      }
    }
    Json txt = Json::object();
    for (size_t k = 0; k < 4; ++k) txt[kTxtKeys[k]] = (*instance->values)[k];
    Json found = event("found");
    found["endpointId"] = id;
    found["txt"] = std::move(txt);
    emit(found);
  }
}

// ---------------------------------------------------------------------------------------------
// Channels

bool NearbyBridge::isCurrent(const std::string& id, const Channel* channel) const {
  auto it = channels.find(id);
  return it != channels.end() && it->second.get() == channel;
}

void NearbyBridge::connect(const Json& payload, const std::string& id) {
  auto unavailable = [&] {
    Json e = event("connection-closed");
    e["connectionId"] = id;
    e["code"] = "ENDPOINT_UNAVAILABLE";
    emit(e);
  };
  if (channels.count(id) || channels.size() >= maxConnections) return unavailable();
  const std::string* endpointId = mirelo::readString(payload, "endpointId");
  if (!endpointId) return unavailable();
  auto endpoint = endpoints.find(*endpointId);
  if (endpoint == endpoints.end() || !browser) return unavailable();
  auto instance = browser->instances.find(endpoint->second);
  if (instance == browser->instances.end() || instance->second->addresses.empty()) return unavailable();
  auto channel = std::make_shared<Channel>(tcp::socket(queue), true);
  channel->addresses = instance->second->addresses;
  addConnection(channel, id);
}

void NearbyBridge::addConnection(std::shared_ptr<Channel> channel, const std::string& id) {
  channels[id] = channel;
  if (channel->outbound)
    tryConnect(channel, id);
  else
    becomeReady(channel, id);  // an accepted connection is established already
}

void NearbyBridge::tryConnect(const std::shared_ptr<Channel>& channel, const std::string& id) {
  error_code ignored;
  channel->socket.close(ignored);
  const tcp::endpoint& address = channel->addresses[channel->nextAddress];
  channel->socket.async_connect(address, [this, channel, id](error_code error) { onConnected(channel, id, error); });
}

void NearbyBridge::onConnected(const std::shared_ptr<Channel>& channel, const std::string& id, error_code error) {
  if (!isCurrent(id, channel.get())) return;
  if (!error) {
    setTransportOptions(channel->socket);
    return becomeReady(channel, id);
  }
  if (++channel->nextAddress < channel->addresses.size()) return tryConnect(channel, id);
  channel->nextAddress = 0;
  if (!isWaitingError(error)) return close(id, errorCode(netErrorOf(error)));
  // Refused or unreachable: report it and keep trying, with no limit of our own.
  Json e = event("connection-waiting");
  e["connectionId"] = id;
  e["code"] = errorCode(netErrorOf(error));
  emit(e);
  channel->retry.expires_after(channel->backoff);
  channel->backoff = std::min<std::chrono::milliseconds>(channel->backoff * 2, kLastBackoff);
  channel->retry.async_wait([this, channel, id](error_code e) {
    if (!e && isCurrent(id, channel.get())) tryConnect(channel, id);
  });
}

void NearbyBridge::becomeReady(const std::shared_ptr<Channel>& channel, const std::string& id) {
  if (channel->ready) return;
  channel->ready = true;
  Json e = event("connection-ready");
  e["connectionId"] = id;
  e["outbound"] = channel->outbound;
  emit(e);
  if (std::optional<std::string> quotedId = mirelo::writeJson(Json(id)))
    channel->dataPrefix = "{\"connectionId\":" + *quotedId + ",\"data\":\"";
  error_code ignored;
  channel->socket.non_blocking(true, ignored);
  if (!readBuffer_) readBuffer_.reset(new char[kReadSize]);
  if (isCurrent(id, channel.get())) receive(id, channel);
}

// Channels read into one shared buffer, so a read is made only when the socket has bytes: wait
// for that, read, and read again (after whatever else is queued) until the socket has nothing.
// The completion keeps the channel alive; whether it still counts is decided by the map, so a
// closed channel or a reused id changes nothing.
void NearbyBridge::receive(const std::string& id, const std::shared_ptr<Channel>& channel) {
  channel->socket.async_wait(tcp::socket::wait_read, [this, id, channel](error_code error) {
    if (!isCurrent(id, channel.get())) return;
    if (error) return close(id, errorCode(netErrorOf(error)));
    readNow(id, channel);
  });
}

void NearbyBridge::readNow(const std::string& id, const std::shared_ptr<Channel>& channel) {
  error_code error;
  const size_t size = channel->socket.read_some(asio::buffer(readBuffer_.get(), kReadSize), error);
  if (error == asio::error::would_block || error == asio::error::try_again) return receive(id, channel);
  if (size > 0) emitData(*channel, readBuffer_.get(), size);
  if (!isCurrent(id, channel.get())) return;
  if (error == asio::error::eof) return close(id, std::nullopt);
  if (error) return close(id, errorCode(netErrorOf(error)));
  asio::post(queue, [this, id, channel] {
    if (isCurrent(id, channel.get())) readNow(id, channel);
  });
}

// Send lines are read where they lie when they are plain (readSendLine) and everything about
// them succeeds; any other line, or any send that is refused, goes through the general reader,
// which gives the exact event. The data's decoding is what proves it valid JSON string content,
// so nothing is decided here before it has decoded.
bool NearbyBridge::sendFast(std::string_view line) {
  if (!started) return false;
  const std::optional<SendLine> send = readSendLine(line);
  if (!send || send->connectionId.size() > maxIdBytes) return false;
  const std::string id(send->connectionId);
  auto found = channels.find(id);
  if (found == channels.end() || !found->second->ready) return false;
  if (graphemeCount(send->requestId) > 64) return false;
  std::string_view data = send->data;
  if (send->dataEscaped) {
    unescapeSlashes(data, unescaped_);
    data = unescaped_;
  }
  if (data.size() > maxBase64Text) return false;
  WriteBytes bytes = decodeWrite(data);
  if (!bytes.data) return false;
  queueWrite(id, found->second, std::move(bytes), std::string(send->requestId));
  return true;
}

// The bytes of a non-empty write within the limit, or nothing.
NearbyBridge::WriteBytes NearbyBridge::decodeWrite(std::string_view text) {
  WriteBytes bytes;
  const size_t size = mirelo::base64DecodedSize(text);
  if (size == 0 || size > maxWrite) return bytes;
  if (size > kPooledWrite && !spareWrites_.empty()) {
    bytes.data = std::move(spareWrites_.back());
    spareWrites_.pop_back();
  } else {
    bytes.data.reset(new char[size > kPooledWrite ? maxWrite : size]);
  }
  bytes.size = size;
  if (!mirelo::base64DecodeTo(text, bytes.data.get())) {
    recycle(std::move(bytes));
    return {};
  }
  return bytes;
}

void NearbyBridge::recycle(WriteBytes bytes) {
  if (bytes.size > kPooledWrite && spareWrites_.size() < kSpareWrites) spareWrites_.push_back(std::move(bytes.data));
}

void NearbyBridge::send(const Json& payload, const std::string& id) {
  auto found = channels.find(id);
  if (found == channels.end()) return;  // nothing to refuse: no event
  std::shared_ptr<Channel> channel = found->second;
  auto invalid = [&] { close(id, "INVALID_WRITE"); };
  const std::string* requestId = mirelo::readString(payload, "requestId");
  if (!requestId || graphemeCount(*requestId) > 64) return invalid();
  const std::string* data = mirelo::readString(payload, "data");
  if (!data || data->size() > maxBase64Text) return invalid();
  WriteBytes bytes = decodeWrite(*data);
  if (!bytes.data) return invalid();
  if (!channel->ready) {
    recycle(std::move(bytes));
    return invalid();
  }
  queueWrite(id, channel, std::move(bytes), *requestId);
}

void NearbyBridge::queueWrite(const std::string& id, const std::shared_ptr<Channel>& channel, WriteBytes bytes,
                              std::string requestId) {
  auto n = static_cast<int64_t>(bytes.size);
  if (channel->pending + n > maxPendingPerConnection || pendingBytes + n > maxPendingTotal) {
    recycle(std::move(bytes));
    return close(id, "QUEUE_FULL");
  }
  channel->pending += n;
  pendingBytes += n;
  channel->writes.push_back({std::move(bytes), std::move(requestId)});
  if (!channel->writing) writeNext(id, channel);
}

// Sends are handed over in order, one write at a time; each "sent" follows its bytes into the socket.
void NearbyBridge::writeNext(const std::string& id, const std::shared_ptr<Channel>& channel) {
  if (channel->writes.empty()) {
    channel->writing = false;
    return;
  }
  channel->writing = true;
  const WriteBytes& bytes = channel->writes.front().bytes;
  asio::async_write(channel->socket, asio::buffer(bytes.data.get(), bytes.size),
                    [this, id, channel](error_code error, size_t) {
                      if (!isCurrent(id, channel.get())) return;
                      Channel::Write done = std::move(channel->writes.front());
                      channel->writes.pop_front();
                      auto n = static_cast<int64_t>(done.bytes.size);
                      channel->pending -= n;
                      pendingBytes -= n;
                      recycle(std::move(done.bytes));
                      if (error) return close(id, errorCode(netErrorOf(error)));
                      Json e = event("sent");
                      e["connectionId"] = id;
                      e["requestId"] = done.requestId;
                      emit(e);
                      if (isCurrent(id, channel.get())) writeNext(id, channel);
                    });
}

void NearbyBridge::close(const std::string& id, std::optional<std::string> code) {
  auto it = channels.find(id);
  if (it == channels.end()) return;
  std::shared_ptr<Channel> channel = std::move(it->second);
  channels.erase(it);
  pendingBytes -= channel->pending;
  channel->pending = 0;
  error_code ignored;
  channel->socket.close(ignored);
  channel->retry.cancel();
  Json e = event("connection-closed");
  e["connectionId"] = id;
  if (code) e["code"] = *code;
  emit(e);
}

}  // namespace nearby
