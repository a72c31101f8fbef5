// The clipboard as an X11 selection, spoken directly over XCB. A hidden window owns CLIPBOARD and
// serves one offer under several target names at once (text under every text target older
// programs ask for), answering TARGETS, TIMESTAMP and MULTIPLE and sending large data with INCR;
// before the process ends the offer is handed to a clipboard manager (SAVE_TARGETS). Reads
// convert the selection into a property of that window and pump the connection until the owner
// answers or a time bound passes, so a stuck owner cannot hang the program. Everything runs on
// the main thread; the connection's descriptor is watched by a GLib source so the offer is served
// whenever the main loop runs.
#include "pasteboard_xcb.h"

#include <glib-unix.h>
#include <poll.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "utf8.h"
#include "x11_text.h"

namespace mirelo::services::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kAnswerTimeout = std::chrono::milliseconds(1500);  // per reply or INCR chunk
// All of one read, however the owner drips it, when no command set a bound of its own.
constexpr auto kReadTimeout = std::chrono::seconds(3);
constexpr size_t kIncrThreshold = 1 << 20;                        // larger data goes in INCR chunks
constexpr size_t kIncrChunk = 256 * 1024;
// How long the end of the process waits for a clipboard manager to take the offer over.
constexpr auto kHandOverTimeout = std::chrono::seconds(3);
constexpr size_t kMaxMultiple = 64;  // conversions served for one MULTIPLE request

template <class T>
struct Freed {
  T* value;
  ~Freed() { std::free(value); }
  T* operator->() const { return value; }
  explicit operator bool() const { return value != nullptr; }
};

class XcbPasteboard;

class XcbItem final : public Pasteboard::Item {
 public:
  explicit XcbItem(XcbPasteboard& owner) : pasteboard_(owner) {}
  std::optional<std::string> data(std::string_view type, size_t limit) override;

 private:
  XcbPasteboard& pasteboard_;
  std::optional<std::vector<std::string>> targets_;
};

class XcbPasteboard final : public Pasteboard {
 public:
  XcbPasteboard(xcb_connection_t* connection, xcb_screen_t* screen) : c_(connection) {
    window_ = xcb_generate_id(c_);
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, -10, -10, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, screen->root_visual, XCB_CW_EVENT_MASK, &mask);
    clipboard_ = atom("CLIPBOARD");
    targets_ = atom("TARGETS");
    timestamp_ = atom("TIMESTAMP");
    multiple_ = atom("MULTIPLE");
    saveTargets_ = atom("SAVE_TARGETS");
    incr_ = atom("INCR");
    utf8_ = atom("UTF8_STRING");
    property_ = atom("MIRELO_SELECTION");
    clock_ = atom("MIRELO_CLOCK");
    xcb_flush(c_);
    const size_t maxRequest = static_cast<size_t>(xcb_get_maximum_request_length(c_)) * 4;
    incrThreshold_ = std::min(kIncrThreshold, maxRequest > 4096 ? maxRequest - 1024 : 1024);
    watch_ = g_unix_fd_add(xcb_get_file_descriptor(c_), G_IO_IN, &XcbPasteboard::readable, this);
  }

  ~XcbPasteboard() override {
    if (watch_) g_source_remove(watch_);
    xcb_disconnect(c_);
  }

  // Once the X server is gone the pasteboard is as absent as without a display; what we offered
  // went with it.
  bool gone() const { return xcb_connection_has_error(c_) != 0; }

  std::vector<std::unique_ptr<Item>> items() override {
    std::vector<std::unique_ptr<Item>> list;
    if (gone()) return list;
    const xcb_window_t current = syncedOwner();  // first: it may end our ownership
    if (owner_ || current != XCB_NONE) list.push_back(std::make_unique<XcbItem>(*this));
    return list;
  }

  std::vector<std::string> fileUrls() override {
    if (gone()) return {};
    syncedOwner();
    std::vector<std::string> urls;
    std::optional<std::string> list;
    for (const std::string& offered : offeredTargets()) {
      if (offered == kUriListType) list = fetchTarget(offered, 1 << 20);
    }
    drainQueued();
    if (list) {
      size_t start = 0;
      while (start < list->size()) {
        size_t end = list->find('\n', start);
        if (end == std::string::npos) end = list->size();
        std::string line = list->substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with("file://")) urls.push_back(line);
        start = end + 1;
      }
    }
    return urls;
  }

  // The first text target the owner lists, in the order of preference: UTF-8 ones, then those of
  // older programs (an owner started before anyone made the UTF8_STRING atom may offer only
  // STRING and TEXT).
  std::optional<std::string> text() override {
    if (gone()) return std::nullopt;
    syncedOwner();
    static constexpr std::string_view kPreference[] = {"UTF8_STRING", "text/plain;charset=utf-8", "STRING", "TEXT",
                                                       "text/plain"};
    const std::vector<std::string> offered = offeredTargets();
    for (std::string_view wanted : kPreference) {
      if (std::find(offered.begin(), offered.end(), wanted) == offered.end()) continue;
      auto answer = fetchTyped(std::string(wanted), 16 << 20);
      drainQueued();
      if (!answer) continue;
      auto& [type, bytes] = *answer;
      if (type == utf8_ || wanted.starts_with("text/plain;")) {
        repairUtf8(bytes);
      } else if (atomName(type) == "COMPOUND_TEXT" && bytes.find('\x1b') != std::string::npos) {
        continue;  // switches to other character sets: nothing we can read
      } else {
        bytes = x11text::utf8FromStringType(bytes);  // STRING, or a TEXT without escapes
      }
      return std::move(bytes);
    }
    return std::nullopt;
  }

  void limitReads(Clock::time_point deadline) override { readDeadline_ = deadline; }

  bool write(PasteboardItem item) override {
    if (gone()) return false;
    const xcb_timestamp_t now = serverTime();
    xcb_set_selection_owner(c_, window_, clipboard_, now);
    const bool owned = currentOwner() == window_;
    offer_.clear();
    owner_ = owned;
    if (owned) {
      ownedSince_ = now;
      offerItem(std::move(item));
    }
    drainQueued();
    return owned;
  }

  // A clipboard manager takes what we own over before we exit: it is asked to convert
  // CLIPBOARD_MANAGER to SAVE_TARGETS, fetches our targets (served meanwhile), owns CLIPBOARD and
  // then answers. Ends at its answer, when its window goes away, or at the bound.
  void handOverBeforeExit() override {
    if (gone() || !owner_) return;
    syncedOwner();
    if (!owner_ || offer_.empty()) return;
    const xcb_atom_t managerSelection = atom("CLIPBOARD_MANAGER");
    const xcb_window_t manager = ownerOf(managerSelection);
    if (manager == XCB_NONE || manager == window_) return;
    const uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c_, manager, XCB_CW_EVENT_MASK, &structure);
    std::vector<xcb_atom_t> saved;
    for (const Offer& offer : offer_) saved.push_back(offer.target);
    const xcb_atom_t list = atom("MIRELO_SAVE_TARGETS");
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, list, XCB_ATOM_ATOM, 32,
                        static_cast<uint32_t>(saved.size()), saved.data());
    const xcb_timestamp_t time = serverTime();
    xcb_convert_selection(c_, window_, managerSelection, saveTargets_, list, time);
    xcb_flush(c_);
    waitFor(Clock::now() + kHandOverTimeout, [&](xcb_generic_event_t* event) {
      const int type = event->response_type & 0x7f;
      if (type == XCB_DESTROY_NOTIFY) return reinterpret_cast<xcb_destroy_notify_event_t*>(event)->window == manager;
      if (type != XCB_SELECTION_NOTIFY) return false;
      auto* notify = reinterpret_cast<xcb_selection_notify_event_t*>(event);
      return notify->requestor == window_ && notify->selection == managerSelection && notify->target == saveTargets_;
    });
  }

  // The target names the owner offers (read once per item).
  std::vector<std::string> offeredTargets() {
    std::vector<std::string> names;
    if (owner_) {
      for (const Offer& offer : offer_) names.push_back(atomName(offer.target));
      return names;
    }
    const auto list = fetch(targets_, 64 * 1024);
    if (!list) return names;
    const auto* atoms = reinterpret_cast<const xcb_atom_t*>(list->second.data());
    for (size_t i = 0; i < list->second.size() / sizeof(xcb_atom_t); ++i) names.push_back(atomName(atoms[i]));
    return names;
  }

  std::optional<std::string> fetchTarget(const std::string& type, size_t limit) {
    auto answer = fetchTyped(type, limit);
    drainQueued();
    if (!answer) return std::nullopt;
    return std::move(answer->second);
  }

 private:
  struct Offer {
    xcb_atom_t target;
    xcb_atom_t type;  // of the property it is served in
    std::shared_ptr<const std::string> data;
  };

  struct Transfer {
    xcb_window_t requestor;
    xcb_atom_t property;
    xcb_atom_t type;
    std::shared_ptr<const std::string> data;
    size_t offset;
  };

  // Text (under either of the UTF-8 types) is offered under every text target, each in its own
  // encoding: UTF8_STRING; STRING, ISO 8859-1, only when the text fits it; TEXT, as STRING when
  // the text fits, else as UTF8_STRING (the property's type says which); the text/plain types as
  // UTF-8, since this desktop's text is UTF-8 and that is what their readers take them as.
  void offerItem(PasteboardItem item) {
    std::shared_ptr<const std::string> text;
    std::vector<Offer> others;
    for (auto& [type, bytes] : item.entries) {
      const bool isText = std::find(std::begin(kTextTypes), std::end(kTextTypes), type) != std::end(kTextTypes);
      if (isText && !text) text = std::make_shared<const std::string>(std::move(bytes));
      if (isText) continue;
      const xcb_atom_t target = atom(type);
      others.push_back(Offer{target, target, std::make_shared<const std::string>(std::move(bytes))});
    }
    if (text) {
      offer_.push_back(Offer{utf8_, utf8_, text});
      std::shared_ptr<const std::string> latin1;
      if (auto converted = x11text::latin1FromUtf8(*text)) {
        latin1 = std::make_shared<const std::string>(std::move(*converted));
        offer_.push_back(Offer{XCB_ATOM_STRING, XCB_ATOM_STRING, latin1});
      }
      offer_.push_back(latin1 ? Offer{atom("TEXT"), XCB_ATOM_STRING, latin1} : Offer{atom("TEXT"), utf8_, text});
      for (const char* name : {"text/plain;charset=utf-8", "text/plain"}) {
        const xcb_atom_t target = atom(name);
        offer_.push_back(Offer{target, target, text});
      }
    }
    for (Offer& offer : others) offer_.push_back(std::move(offer));
  }

  static gboolean readable(gint, GIOCondition, gpointer self) {
    auto* pasteboard = static_cast<XcbPasteboard*>(self);
    while (xcb_generic_event_t* event = xcb_poll_for_event(pasteboard->c_)) {
      pasteboard->handle(event);
      std::free(event);
    }
    if (xcb_connection_has_error(pasteboard->c_)) {
      pasteboard->watch_ = 0;
      return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
  }

  // Events read from the socket while waiting for a reply sit in XCB's queue, where the
  // descriptor watch does not see them.
  void drainQueued() {
    while (xcb_generic_event_t* event = xcb_poll_for_queued_event(c_)) {
      handle(event);
      std::free(event);
    }
  }

  xcb_atom_t atom(const std::string& name) {
    if (const auto found = atoms_.find(name); found != atoms_.end()) return found->second;
    Freed<xcb_intern_atom_reply_t> reply{
        xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(name.size()), name.data()), nullptr)};
    const xcb_atom_t value = reply ? reply->atom : XCB_NONE;
    if (value != XCB_NONE) atoms_.emplace(name, value);
    return value;
  }

  std::string atomName(xcb_atom_t value) {
    for (const auto& [name, known] : atoms_) {
      if (known == value) return name;
    }
    Freed<xcb_get_atom_name_reply_t> reply{xcb_get_atom_name_reply(c_, xcb_get_atom_name(c_, value), nullptr)};
    if (!reply) return {};
    std::string name(xcb_get_atom_name_name(reply.value), xcb_get_atom_name_name_length(reply.value));
    atoms_.emplace(name, value);
    return name;
  }

  xcb_window_t ownerOf(xcb_atom_t selection) {
    Freed<xcb_get_selection_owner_reply_t> reply{
        xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, selection), nullptr)};
    return reply ? reply->owner : XCB_NONE;
  }

  xcb_window_t currentOwner() { return ownerOf(clipboard_); }

  // The owner as the server has it, and our own idea of it brought up to date: a SelectionClear
  // sent before the answer is in by then (the main queue may run before the descriptor watch),
  // and is handled before we decide whether what we offered is still the clipboard.
  xcb_window_t syncedOwner() {
    const xcb_window_t current = currentOwner();
    drainQueued();
    return current;
  }

  // A server timestamp: touch a property of our window and read the time of its notification.
  xcb_timestamp_t serverTime() {
    xcb_change_property(c_, XCB_PROP_MODE_APPEND, window_, clock_, XCB_ATOM_STRING, 8, 0, "");
    xcb_flush(c_);
    xcb_timestamp_t time = XCB_CURRENT_TIME;
    waitFor(Clock::now() + kAnswerTimeout, [&](xcb_generic_event_t* event) {
      if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
      auto* notify = reinterpret_cast<xcb_property_notify_event_t*>(event);
      if (notify->window != window_ || notify->atom != clock_) return false;
      time = notify->time;
      return true;
    });
    return time;
  }

  // Handles events until `match` takes one or the deadline passes; false at the deadline.
  template <class Match>
  bool waitFor(Clock::time_point deadline, Match match) {
    for (;;) {
      xcb_generic_event_t* event = xcb_poll_for_event(c_);
      if (event) {
        const bool taken = match(event);
        if (!taken) handle(event);
        std::free(event);
        if (taken) return true;
        continue;
      }
      if (xcb_connection_has_error(c_)) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd fd{xcb_get_file_descriptor(c_), POLLIN, 0};
      ::poll(&fd, 1, static_cast<int>(left));
    }
  }

  // Reads and deletes our property; nothing when it is missing or past the limit.
  std::optional<std::pair<xcb_atom_t, std::string>> takeProperty(size_t limit) {
    Freed<xcb_get_property_reply_t> reply{xcb_get_property_reply(
        c_, xcb_get_property(c_, 1, window_, property_, XCB_GET_PROPERTY_TYPE_ANY, 0, static_cast<uint32_t>(limit / 4 + 2)),
        nullptr)};
    if (!reply || reply->bytes_after > 0) return std::nullopt;
    const int length = xcb_get_property_value_length(reply.value);
    if (static_cast<size_t>(length) > limit) return std::nullopt;
    return std::pair(reply->type,
                     std::string(static_cast<const char*>(xcb_get_property_value(reply.value)), static_cast<size_t>(length)));
  }

  // Each wait ends at the owner's per-answer bound or at the read's overall deadline, whichever
  // comes first: an owner that drips a byte a second cannot hold the main thread.
  Clock::time_point answerBy(Clock::time_point readEnd) const {
    return std::min({Clock::now() + kAnswerTimeout, readEnd, readDeadline_});
  }

  std::optional<std::pair<xcb_atom_t, std::string>> fetchTyped(const std::string& type, size_t limit) {
    if (owner_) {
      const xcb_atom_t target = atom(type);
      for (const Offer& offer : offer_) {
        if (offer.target != target) continue;
        if (offer.data->size() > limit) return std::nullopt;
        return std::pair(offer.type, *offer.data);
      }
      return std::nullopt;
    }
    return fetch(atom(type), limit);
  }

  // The conversion is asked with a server timestamp, not CurrentTime: owners may refuse requests
  // from before they owned the selection, and the answer, which carries the request's time, is
  // told apart from a late answer to an earlier request that gave up (an older time).
  std::optional<std::pair<xcb_atom_t, std::string>> fetch(xcb_atom_t target, size_t limit) {
    if (target == XCB_NONE) return std::nullopt;
    const Clock::time_point readEnd = Clock::now() + kReadTimeout;
    const xcb_timestamp_t time = serverTime();
    xcb_delete_property(c_, window_, property_);
    xcb_convert_selection(c_, window_, clipboard_, target, property_, time);
    xcb_flush(c_);
    xcb_atom_t answered = XCB_NONE;
    const bool notified = waitFor(answerBy(readEnd), [&](xcb_generic_event_t* event) {
      if ((event->response_type & 0x7f) != XCB_SELECTION_NOTIFY) return false;
      auto* notify = reinterpret_cast<xcb_selection_notify_event_t*>(event);
      if (notify->requestor != window_ || notify->selection != clipboard_ || notify->target != target) return false;
      if (notify->time != XCB_CURRENT_TIME && notify->time < time) return false;  // an earlier request's
      answered = notify->property;
      return true;
    });
    if (!notified || answered == XCB_NONE) return std::nullopt;
    auto first = takeProperty(limit);
    if (!first) return std::nullopt;
    if (first->first != incr_) return first;
    // INCR: each chunk arrives as a new value of the property, which we delete to ask for the next.
    std::pair<xcb_atom_t, std::string> data{XCB_NONE, {}};
    for (;;) {
      const bool more = waitFor(answerBy(readEnd), [&](xcb_generic_event_t* event) {
        if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
        auto* notify = reinterpret_cast<xcb_property_notify_event_t*>(event);
        return notify->window == window_ && notify->atom == property_ && notify->state == XCB_PROPERTY_NEW_VALUE;
      });
      if (!more) return std::nullopt;
      auto chunk = takeProperty(limit - data.second.size());
      if (!chunk) return std::nullopt;
      if (chunk->second.empty()) return data;
      data.first = chunk->first;
      data.second += chunk->second;
    }
  }

  void handle(xcb_generic_event_t* event) {
    switch (event->response_type & 0x7f) {
      case XCB_SELECTION_REQUEST:
        serve(*reinterpret_cast<xcb_selection_request_event_t*>(event));
        break;
      case XCB_SELECTION_CLEAR:
        if (reinterpret_cast<xcb_selection_clear_event_t*>(event)->selection == clipboard_) {
          owner_ = false;
          offer_.clear();  // transfers under way keep their data
        }
        break;
      case XCB_PROPERTY_NOTIFY:
        continueTransfer(*reinterpret_cast<xcb_property_notify_event_t*>(event));
        break;
      default:
        break;
    }
  }

  // Puts our data for `target` into the requestor's `property`; false when we have none.
  bool convert(xcb_window_t requestor, xcb_atom_t target, xcb_atom_t property) {
    if (target == targets_) {
      std::vector<xcb_atom_t> list{targets_, timestamp_, multiple_, saveTargets_};
      for (const Offer& offer : offer_) list.push_back(offer.target);
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_ATOM, 32,
                          static_cast<uint32_t>(list.size()), list.data());
      return true;
    }
    if (target == timestamp_) {
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_INTEGER, 32, 1, &ownedSince_);
      return true;
    }
    const auto offer = std::find_if(offer_.begin(), offer_.end(), [&](const Offer& o) { return o.target == target; });
    if (offer == offer_.end()) return false;
    if (offer->data->size() <= incrThreshold_) {
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, offer->type, 8,
                          static_cast<uint32_t>(offer->data->size()), offer->data->data());
      return true;
    }
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c_, requestor, XCB_CW_EVENT_MASK, &mask);
    const uint32_t size = static_cast<uint32_t>(offer->data->size());
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, incr_, 32, 1, &size);
    std::erase_if(transfers_, [&](const Transfer& t) { return t.requestor == requestor && t.property == property; });
    transfers_.push_back(Transfer{requestor, property, offer->type, offer->data, 0});
    return true;
  }

  // MULTIPLE: the requestor's property holds (target, property) pairs; each is converted, and a
  // pair we cannot convert is written back as (None, None).
  bool convertMultiple(xcb_window_t requestor, xcb_atom_t property) {
    if (property == XCB_NONE) return false;
    Freed<xcb_get_property_reply_t> reply{xcb_get_property_reply(
        c_, xcb_get_property(c_, 0, requestor, property, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxMultiple * 2), nullptr)};
    if (!reply || reply->format != 32) return false;
    const auto* values = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.value));
    std::vector<xcb_atom_t> pairs(values, values + xcb_get_property_value_length(reply.value) / 4 / 2 * 2);
    for (size_t i = 0; i < pairs.size(); i += 2) {
      const bool done = pairs[i] != multiple_ && pairs[i + 1] != XCB_NONE && convert(requestor, pairs[i], pairs[i + 1]);
      if (!done) pairs[i] = pairs[i + 1] = XCB_NONE;
    }
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, reply->type, 32,
                        static_cast<uint32_t>(pairs.size()), pairs.data());
    return true;
  }

  void serve(const xcb_selection_request_event_t& request) {
    xcb_atom_t property = request.property == XCB_NONE ? request.target : request.property;  // obsolete clients
    bool served = false;
    if (owner_ && request.selection == clipboard_ &&
        (request.time == XCB_CURRENT_TIME || request.time >= ownedSince_)) {
      served = request.target == multiple_ ? convertMultiple(request.requestor, request.property)
                                           : convert(request.requestor, request.target, property);
    }
    xcb_selection_notify_event_t notify{};
    notify.response_type = XCB_SELECTION_NOTIFY;
    notify.time = request.time;
    notify.requestor = request.requestor;
    notify.selection = request.selection;
    notify.target = request.target;
    notify.property = served ? (request.target == multiple_ ? request.property : property) : XCB_NONE;
    xcb_send_event(c_, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&notify));
    xcb_flush(c_);
  }

  // The requestor deleted the property: it wants the next chunk (an empty one ends the transfer).
  void continueTransfer(const xcb_property_notify_event_t& notify) {
    if (notify.state != XCB_PROPERTY_DELETE) return;
    for (auto it = transfers_.begin(); it != transfers_.end(); ++it) {
      if (it->requestor != notify.window || it->property != notify.atom) continue;
      const size_t length = std::min(kIncrChunk, it->data->size() - it->offset);
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, it->requestor, it->property, it->type, 8,
                          static_cast<uint32_t>(length), it->data->data() + it->offset);
      it->offset += length;
      if (length == 0) transfers_.erase(it);
      xcb_flush(c_);
      return;
    }
  }

  xcb_connection_t* c_;
  xcb_window_t window_;
  xcb_atom_t clipboard_, targets_, timestamp_, multiple_, saveTargets_, incr_, utf8_, property_, clock_;
  std::map<std::string, xcb_atom_t> atoms_;
  size_t incrThreshold_ = kIncrThreshold;
  guint watch_ = 0;
  bool owner_ = false;
  Clock::time_point readDeadline_ = Clock::time_point::max();
  xcb_timestamp_t ownedSince_ = XCB_CURRENT_TIME;
  std::vector<Offer> offer_;
  std::vector<Transfer> transfers_;
};

std::optional<std::string> XcbItem::data(std::string_view type, size_t limit) {
  if (!targets_) targets_ = pasteboard_.offeredTargets();
  for (const std::string& offered : *targets_) {
    if (offered == type) return pasteboard_.fetchTarget(offered, limit);
  }
  return std::nullopt;
}

}  // namespace

std::unique_ptr<Pasteboard> makeXcbPasteboard() {
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
  if (!screens.rem) {
    xcb_disconnect(connection);
    return nullptr;
  }
  return std::make_unique<XcbPasteboard>(connection, screens.data);
}

}  // namespace mirelo::services::platform
