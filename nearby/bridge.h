#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "browser.h"
#include "json.h"

struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiServiceBrowser;
struct AvahiServiceResolver;

namespace nearby { struct AvahiCallbacks; }

namespace nearby {

using mirelo::Json;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

inline constexpr std::string_view serviceType = "_solvantio._tcp";
inline constexpr size_t maxCommand = 2'097'152;
inline constexpr size_t maxWrite = 786'436;
inline constexpr size_t maxConnections = 128;
inline constexpr int64_t maxPendingPerConnection = 2'097'152;
inline constexpr int64_t maxPendingTotal = 16'777'216;
inline constexpr size_t maxEndpoints = 256;
inline constexpr size_t maxIdBytes = 64;
inline constexpr size_t maxBase64Text = maxWrite * 4 / 3 + 8;
inline constexpr std::chrono::seconds discoveryWindow{60};

// A network error as the platform reports it; `errorCode` names it.
struct NetError {
  enum class Kind { Posix, Avahi, Other } kind = Kind::Other;
  int value = 0;
};
std::string errorCode(const NetError& error);
NetError netErrorOf(const boost::system::error_code& error);

class AsioAvahiPoll;

// All nearby state. Every member runs on `queue` (one thread running the io_context), which also
// runs every socket, timer and Avahi callback, so nothing here is locked.
class NearbyBridge {
 public:
  struct Hooks {
    // Writes one whole output line (newline included); false when standard output is gone.
    std::function<bool(std::string_view)> write;
    // Ends the process with a status; does not return.
    std::function<void(int)> exit;
  };

  NearbyBridge(asio::io_context& queue, Hooks hooks);
  ~NearbyBridge();
  NearbyBridge(const NearbyBridge&) = delete;
  NearbyBridge& operator=(const NearbyBridge&) = delete;

  // One input line, as the reader hands it over: parsed, then `handle`d or refused.
  void handleLine(std::string_view line);
  void handle(const Json& payload);
  void emit(const Json& event);
  void shutdown();

  asio::io_context& queue;

  // What a resolver reported, copied out of Avahi's types.
  struct ResolvedService {
    int event = 0;
    std::optional<tcp::endpoint> address;
    std::optional<TxtValues> values;  // when the TXT record is reportable
  };

 private:
  friend struct AvahiCallbacks;
  struct Channel;
  struct Instance;
  struct Browser;
  enum class State { None, Ready, Waiting, Failed, Cancelled };

  // Discovery and listening.
  bool start(const Json& payload);  // false: the listener could not be created
  void startBrowser();
  void armDiscoveryDeadline();
  void setDiscovery(bool enabled);
  void reportState(std::string_view component, State state, std::optional<NetError> error);
  void reportListener(State state, std::optional<NetError> error);
  void reportBrowser(Browser& browser, State state, std::optional<NetError> error);
  void accept();
  void onAccepted(tcp::socket socket);
  void connectClient();
  void onClientState(AvahiClient* client, int state);
  void dropClient(NetError why);
  void advertise();
  void withdraw();
  void registerService();
  void onGroupState(AvahiEntryGroup* group, int state);
  void openAvahiBrowser(Browser& browser);
  void onBrowse(AvahiServiceBrowser* b, int interface, int protocol, int event, const char* name,
                const char* type, const char* domain);
  ResolveSchedule::Opened openResolver(Browser& browser, const std::string& key);
  void freeResolver(Browser& browser, Instance& instance);
  void forgetInstances(Browser& browser, bool freeResolvers);
  bool evictRejected(Browser& browser);
  void onResolved(AvahiServiceResolver* r, ResolvedService& result);
  void resultsChanged();
  void deliverResults();

  // Channels.
  void connect(const Json& payload, const std::string& id);
  void send(const Json& payload, const std::string& id);
  bool sendFast(std::string_view line);
  struct WriteBytes;
  WriteBytes decodeWrite(std::string_view text);
  void queueWrite(const std::string& id, const std::shared_ptr<Channel>& channel, WriteBytes bytes,
                  std::string requestId);
  void recycle(WriteBytes bytes);
  void addConnection(std::shared_ptr<Channel> channel, const std::string& id);
  void tryConnect(const std::shared_ptr<Channel>& channel, const std::string& id);
  void onConnected(const std::shared_ptr<Channel>& channel, const std::string& id, boost::system::error_code error);
  void becomeReady(const std::shared_ptr<Channel>& channel, const std::string& id);
  void receive(const std::string& id, const std::shared_ptr<Channel>& channel);
  void readNow(const std::string& id, const std::shared_ptr<Channel>& channel);
  void writeNext(const std::string& id, const std::shared_ptr<Channel>& channel);
  void close(const std::string& id, std::optional<std::string> code);
  bool isCurrent(const std::string& id, const Channel* channel) const;
  void emitData(Channel& channel, const char* bytes, size_t size);
  void writeLine(std::string_view line);

  Hooks hooks_;
  // The fields of the state object.
  std::unique_ptr<tcp::acceptor> listener;
  std::unique_ptr<Browser> browser;
  std::map<std::string, std::string> endpoints;    // endpoint id -> instance key
  std::map<std::string, std::string> endpointIDs;  // instance key -> endpoint id
  std::map<std::string, std::shared_ptr<Channel>> channels;
  int64_t pendingBytes = 0;
  bool started = false;
  bool listenerReady = false;
  bool browserReady = false;
  bool announcedReady = false;
  struct Service {
    std::string name;  // the current name: changes when another host holds it
    std::vector<std::pair<std::string, std::string>> txt;
    uint16_t port = 0;
  };
  std::optional<Service> publishedService;
  bool discoveryOpen = true;
  std::string discoveryWindowID;
  std::unique_ptr<asio::steady_timer> discoveryDeadline;

  // The Avahi side of the listener and the browser.
  std::unique_ptr<AsioAvahiPoll> poll_;
  AvahiClient* client_ = nullptr;
  bool clientRunning_ = false;
  asio::steady_timer clientRetry_;
  AvahiEntryGroup* group_ = nullptr;
  bool advertising_ = false;  // the service should be published
  State listenerState_ = State::None;
  std::string listenerCode_;
  bool creatingClient_ = false;
  mirelo::JsonReader reader_;
  bool resultsPosted_ = false;
  std::string lineBuffer_;   // the "data" event being written, reused
  std::unique_ptr<char[]> readBuffer_;  // every channel reads into it, one read at a time
  std::vector<std::unique_ptr<char[]>> spareWrites_;  // large write buffers kept for reuse
  std::string unescaped_;    // a send's data with its "\/" escapes undone, reused
};

}  // namespace nearby
