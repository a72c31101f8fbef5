// Command routing (see bridge.h). Commands get no replies: outcomes and refusals are events.
#include "bridge.h"

#include <boost/asio/post.hpp>

#include <algorithm>

#include "graphemes.h"
#include "payload.h"
#include "send_line.h"

namespace nearby {

namespace asio = boost::asio;
using mirelo::Json;
using tcp = asio::ip::tcp;

namespace {

bool validName(const std::string& name) {
  const size_t characters = mirelo::graphemeCount(name);
  if (characters < 8 || characters > 63) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
  });
}

// The service "start" describes: a name of 8 to 63 such characters, and exactly the four TXT
// keys, each a non-empty string of at most 128 bytes.
std::optional<Advertiser::Service> readService(const Json& payload) {
  const std::string* name = mirelo::readString(payload, "name");
  if (!name || !validName(*name)) return std::nullopt;
  const Json* txt = mirelo::readObject(payload, "txt");
  if (!txt) return std::nullopt;
  for (const auto& [key, value] : txt->items())
    if (!value.is_string()) return std::nullopt;
  if (txt->size() != 4) return std::nullopt;
  Advertiser::Service service;
  service.name = *name;
  for (const char* key : txtKeys) {
    auto it = txt->find(key);
    if (it == txt->end()) return std::nullopt;
    const std::string& value = it->get_ref<const std::string&>();
    if (value.empty() || value.size() > maxTxtValue) return std::nullopt;
    service.txt.emplace_back(key, value);
  }
  return service;
}

}  // namespace

NearbyBridge::NearbyBridge(asio::io_context& q, Hooks hooks)
    : queue(q),
      events_(std::move(hooks), [this] { shutdown(); }),
      deadline_(q),
      session_(q, *this),
      channels_(q, events_) {}

NearbyBridge::~NearbyBridge() {
  if (listener_) listener_->close();
}

void NearbyBridge::handleLine(std::string_view line) {
  // The data is the last member of the sends hosts write: its end is found from the line's end,
  // and Base64 decoding vouches for what lies between, so the megabyte is not scanned twice more.
  if (sendPlain(line, DataScan::FromEnd)) return;
  // The reader's buffers grow to the longest line, which the reader bounds.
  std::optional<Json> value = reader_.parse(line);
  if (!value || !value->is_object()) return events_.error("INVALID_JSON");
  handle(*value);
}

void NearbyBridge::handle(const Json& payload) {
  const std::string* command = mirelo::readString(payload, "command");
  if (!command) return events_.error("INVALID_COMMAND");
  if (*command == "start") {
    if (!start(payload)) events_.error("LISTENER_START_FAILED");
    return;
  }
  if (*command == "stop") {
    shutdown();
    events_.stopped();
    events_.exit(0);
  }
  if (!started_) return events_.error("NOT_STARTED");
  if (*command == "discovery") {
    const Json* enabled = mirelo::readValue(payload, "enabled");
    const std::string* windowId = mirelo::readString(payload, "windowId");
    if (enabled && enabled->is_boolean() && windowId && mirelo::atMostGraphemes(*windowId, maxIdCharacters)) {
      windowId_ = *windowId;
      return setDiscovery(enabled->get<bool>());
    }
  }
  const std::string* id = mirelo::readString(payload, "connectionId");
  if (!id || id->size() > maxIdBytes) return events_.error("INVALID_CONNECTION");
  if (*command == "connect") return connect(payload, *id);
  if (*command == "close") return channels_.close(*id, std::nullopt);
  if (*command == "send") return send(payload, *id);
  events_.error("INVALID_COMMAND");
}

void NearbyBridge::shutdown() {
  disarmDeadline();
  started_ = false;
  browser_.reset();
  advertiser_.reset();
  if (listener_) listener_->close();
  listener_.reset();
  session_.stop();
  channels_.closeAll();
}

bool NearbyBridge::start(const Json& payload) {
  std::optional<Advertiser::Service> service = started_ ? std::nullopt : readService(payload);
  if (!service) {
    events_.error("INVALID_START");
    return true;
  }
  started_ = true;
  listener_ = Listener::open(queue, [this](tcp::socket socket) { onAccepted(std::move(socket)); });
  if (!listener_) return false;
  service->port = listener_->port();
  advertiser_ = std::make_unique<Advertiser>(std::move(*service), discoveryOpen_,
                                             [this](State state, const std::optional<NetError>& error) {
                                               listenerReady_ = state == State::Ready;
                                               reportStatus("listener", state, error);
                                             });
  session_.start();
  startBrowser();
  armDeadline();
  return true;
}

void NearbyBridge::startBrowser() {
  browser_ = std::make_unique<Browser>(queue, static_cast<Browser::Owner&>(*this), events_);
  if (!session_.started()) return;  // the listener could not be made: there is nothing to browse with
  if (AvahiClient* client = session_.runningClient()) return browser_->open(client);
  browser_->waiting(session_.waitingError());
}

// The window closes by itself once its deadline passes; a deadline moved or cleared meanwhile
// shows in the timer's own expiry.
void NearbyBridge::armDeadline() {
  deadline_.expires_after(discoveryWindow);
  deadline_.async_wait([this](boost::system::error_code error) {
    if (error || deadline_.expiry() > asio::steady_timer::clock_type::now()) return;
    setDiscovery(false);
  });
}

void NearbyBridge::disarmDeadline() { deadline_.expires_at(asio::steady_timer::time_point::max()); }

void NearbyBridge::setDiscovery(bool enabled) {
  disarmDeadline();
  discoveryOpen_ = enabled;
  if (enabled) {
    if (advertiser_) advertiser_->advertise();
    if (!browser_) startBrowser();
    armDeadline();
  } else {
    browser_.reset();  // its endpoint ids go with it
    browserReady_ = false;
    if (advertiser_) advertiser_->withdraw();
  }
  events_.discoveryWindow(enabled, windowId_);
}

// While the window is closed the listener keeps listening but refuses connections.
void NearbyBridge::onAccepted(tcp::socket socket) {
  if (!discoveryOpen_ || channels_.full()) {
    boost::system::error_code ignored;
    socket.close(ignored);
    return;
  }
  channels_.accepted(std::move(socket));
}

void NearbyBridge::connect(const Json& payload, const std::string& id) {
  auto unavailable = [&] { events_.connectionClosed(id, "ENDPOINT_UNAVAILABLE"); };
  if (channels_.has(id) || channels_.full()) return unavailable();
  const std::string* endpointId = mirelo::readString(payload, "endpointId");
  if (!endpointId) return unavailable();
  const std::vector<tcp::endpoint>* addresses = browser_ ? browser_->addresses(*endpointId) : nullptr;
  if (!addresses || addresses->empty()) return unavailable();
  channels_.connect(id, *addresses);
}

void NearbyBridge::send(const Json& payload, const std::string& id) {
  Channel* channel = channels_.find(id);
  if (!channel) return;  // nothing to refuse: no event
  auto invalid = [&] { channels_.close(id, "INVALID_WRITE"); };
  const std::string* requestId = mirelo::readString(payload, "requestId");
  if (!requestId || !mirelo::atMostGraphemes(*requestId, maxIdCharacters)) return invalid();
  const std::string* data = mirelo::readString(payload, "data");
  if (!data || data->size() > maxBase64Text) return invalid();
  WriteBuffer bytes = WriteBuffer::decode(*data);
  if (!bytes || !channel->ready()) return invalid();
  channels_.write(*channel, std::move(bytes), *requestId);
}

// Send lines are read where they lie when they are plain (readSendLine) and everything about
// them succeeds; any other line, or any send that is refused, goes through the general reader,
// which gives the exact event. The data's decoding is what proves it valid JSON string content,
// so nothing is decided here before it has decoded.
bool NearbyBridge::sendPlain(std::string_view line, DataScan scan) {
  if (!started_) return false;
  const std::optional<SendLine> send = readSendLine(line, scan);
  if (!send || send->connectionId.size() > maxIdBytes) return false;
  Channel* channel = channels_.find(std::string(send->connectionId));
  if (!channel || !channel->ready()) return false;
  if (!mirelo::atMostGraphemes(send->requestId, maxIdCharacters)) return false;
  std::string_view data = send->data;
  if (send->dataEscaped) {
    unescapeSlashes(data, unescaped_);
    data = unescaped_;
  }
  WriteBuffer bytes = data.size() > maxBase64Text ? WriteBuffer() : WriteBuffer::decode(data);
  // Data taken up to the line's last quote is the line's only if it decodes; else it is scanned.
  if (!bytes) return send->dataUnscanned && sendPlain(line, DataScan::Full);
  channels_.write(*channel, std::move(bytes), std::string(send->requestId));
  return true;
}

void NearbyBridge::reportStatus(std::string_view component, State state, const std::optional<NetError>& error) {
  events_.status(component, state, error);
  if (listenerReady_ && browserReady_ && !announcedReady_) {
    announcedReady_ = true;
    events_.ready();
  }
}

// The session calls back only between start and shutdown, while the advertiser exists.
void NearbyBridge::clientRunning(AvahiClient* client) {
  if (advertiser_) advertiser_->clientRunning(client);
  if (browser_ && !browser_->isOpen()) browser_->open(client);
}

void NearbyBridge::clientWaiting(const NetError& why) {
  if (advertiser_) advertiser_->clientWaiting(why);
  if (browser_) browser_->waiting(why);
}

void NearbyBridge::clientGone(const NetError& why) {
  if (advertiser_) advertiser_->clientGone();
  if (browser_) browser_->clientGone(why);
  if (advertiser_) advertiser_->clientWaiting(why);
}

void NearbyBridge::hostRenaming() {
  if (advertiser_) advertiser_->hostRenaming();
}

void NearbyBridge::browserState(State state, const std::optional<NetError>& error) {
  browserReady_ = state == State::Ready;
  reportStatus("browser", state, error);
}

// Avahi reports one change at a time; the host gets the result set once per batch of changes.
void NearbyBridge::resultsChanged() {
  if (resultsPosted_) return;
  resultsPosted_ = true;
  asio::post(queue, [this] {
    resultsPosted_ = false;
    if (browser_) browser_->deliver();
  });
}

}  // namespace nearby
