// Serving our offer on CLIPBOARD: TARGETS, TIMESTAMP, MULTIPLE (at most 64 conversions), the
// offer's own targets, anything over 1 MiB (or the server's largest request) in INCR chunks of
// 256 KiB, and SAVE_TARGETS when we hand the offer to a clipboard manager. Each request costs one
// property write and one event; a hand-over waits at most 3 s.
#include "pasteboard_xcb_owner.h"

#include <algorithm>

#include "x11_text.h"

namespace mirelo::services::platform::xcb {
namespace {

constexpr size_t kIncrThreshold = 1 << 20;  // larger data goes in INCR chunks
constexpr size_t kIncrChunk = size_t{256} * 1024;
// How long the end of the process waits for a clipboard manager to take the offer over.
constexpr auto kHandOverTimeout = std::chrono::seconds(3);
constexpr size_t kMaxMultiple = 64;  // conversions served for one MULTIPLE request

}  // namespace

SelectionOwner::SelectionOwner(Link& link) : link_(link) {
  const size_t maxRequest = static_cast<size_t>(xcb_get_maximum_request_length(link_.connection())) * 4;
  incrThreshold_ = std::min(kIncrThreshold, maxRequest > 4096 ? maxRequest - 1024 : 1024);
}

bool SelectionOwner::take(PasteboardItem item) {
  const xcb_timestamp_t now = link_.serverTime();
  xcb_set_selection_owner(link_.connection(), link_.window(), link_.atoms().clipboard, now);
  const bool owned = link_.ownerOf(link_.atoms().clipboard) == link_.window();
  offer_.clear();
  owner_ = owned;
  if (owned) {
    ownedSince_ = now;
    offerItem(std::move(item));
  }
  link_.drainQueued();
  return owned;
}

// Text (under either of the UTF-8 types) is offered under every text target, each in its own
// encoding: UTF8_STRING; STRING, ISO 8859-1, only when the text fits it; TEXT, as STRING when the
// text fits, else as UTF8_STRING (the property's type says which); the text/plain types as UTF-8,
// since this desktop's text is UTF-8 and that is what their readers take them as.
void SelectionOwner::offerItem(PasteboardItem&& item) {
  std::shared_ptr<const std::string> text;
  std::vector<Offer> others;
  for (auto& [type, bytes] : item.entries) {
    const bool isText = std::find(std::begin(kTextTypes), std::end(kTextTypes), type) != std::end(kTextTypes);
    if (isText) {
      if (!text) text = std::make_shared<const std::string>(std::move(bytes));
      continue;
    }
    const xcb_atom_t target = link_.atom(type);
    others.push_back(Offer{target, target, std::make_shared<const std::string>(std::move(bytes))});
  }
  if (text) {
    const xcb_atom_t utf8 = link_.atoms().utf8;
    offer_.push_back(Offer{utf8, utf8, text});
    std::shared_ptr<const std::string> latin1;
    if (auto converted = x11text::latin1FromUtf8(*text)) {
      latin1 = std::make_shared<const std::string>(std::move(*converted));
      offer_.push_back(Offer{XCB_ATOM_STRING, XCB_ATOM_STRING, latin1});
    }
    const xcb_atom_t textTarget = link_.atom("TEXT");
    offer_.push_back(latin1 ? Offer{textTarget, XCB_ATOM_STRING, latin1} : Offer{textTarget, utf8, text});
    for (const char* name : {"text/plain;charset=utf-8", "text/plain"}) {
      const xcb_atom_t target = link_.atom(name);
      offer_.push_back(Offer{target, target, text});
    }
  }
  for (Offer& offer : others) offer_.push_back(std::move(offer));
}

// The manager converts CLIPBOARD_MANAGER to SAVE_TARGETS, fetches our targets (served meanwhile),
// owns CLIPBOARD and then answers.
void SelectionOwner::handOver() {
  if (!owner_) return;
  link_.syncedOwner();
  if (!owner_ || offer_.empty()) return;
  xcb_connection_t* c = link_.connection();
  const xcb_window_t window = link_.window();
  const xcb_atom_t managerSelection = link_.atom("CLIPBOARD_MANAGER");
  const xcb_window_t manager = link_.ownerOf(managerSelection);
  if (manager == XCB_NONE || manager == window) return;
  const uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, manager, XCB_CW_EVENT_MASK, &structure);
  std::vector<xcb_atom_t> saved;
  for (const Offer& offer : offer_) saved.push_back(offer.target);
  const xcb_atom_t list = link_.atom("MIRELO_SAVE_TARGETS");
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, list, XCB_ATOM_ATOM, 32, static_cast<uint32_t>(saved.size()),
                      saved.data());
  const xcb_atom_t saveTargets = link_.atoms().saveTargets;
  xcb_convert_selection(c, window, managerSelection, saveTargets, list, link_.serverTime());
  xcb_flush(c);
  link_.waitFor(Clock::now() + kHandOverTimeout, [&](xcb_generic_event_t* event) {
    const int type = event->response_type & 0x7f;
    if (type == XCB_DESTROY_NOTIFY) return reinterpret_cast<xcb_destroy_notify_event_t*>(event)->window == manager;
    if (type != XCB_SELECTION_NOTIFY) return false;
    auto* notify = reinterpret_cast<xcb_selection_notify_event_t*>(event);
    return notify->requestor == window && notify->selection == managerSelection && notify->target == saveTargets;
  });
}

void SelectionOwner::handle(xcb_generic_event_t* event) {
  switch (event->response_type & 0x7f) {
    case XCB_SELECTION_REQUEST: serve(*reinterpret_cast<xcb_selection_request_event_t*>(event)); break;
    case XCB_SELECTION_CLEAR:
      if (reinterpret_cast<xcb_selection_clear_event_t*>(event)->selection == link_.atoms().clipboard) {
        owner_ = false;
        offer_.clear();  // transfers under way keep their data
      }
      break;
    case XCB_PROPERTY_NOTIFY: continueTransfer(*reinterpret_cast<xcb_property_notify_event_t*>(event)); break;
    default: break;
  }
}

// Puts our data for `target` into the requestor's `property`; false when we have none.
bool SelectionOwner::convert(xcb_window_t requestor, xcb_atom_t target, xcb_atom_t property) {
  xcb_connection_t* c = link_.connection();
  const Atoms& atoms = link_.atoms();
  if (target == atoms.targets) {
    std::vector<xcb_atom_t> list{atoms.targets, atoms.timestamp, atoms.multiple, atoms.saveTargets};
    for (const Offer& offer : offer_) list.push_back(offer.target);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_ATOM, 32,
                        static_cast<uint32_t>(list.size()), list.data());
    return true;
  }
  if (target == atoms.timestamp) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_INTEGER, 32, 1, &ownedSince_);
    return true;
  }
  const auto offer = std::find_if(offer_.begin(), offer_.end(), [&](const Offer& o) { return o.target == target; });
  if (offer == offer_.end()) return false;
  if (offer->data->size() <= incrThreshold_) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, offer->type, 8,
                        static_cast<uint32_t>(offer->data->size()), offer->data->data());
    return true;
  }
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(c, requestor, XCB_CW_EVENT_MASK, &mask);
  const uint32_t size = static_cast<uint32_t>(offer->data->size());
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, atoms.incr, 32, 1, &size);
  std::erase_if(transfers_, [&](const Transfer& t) { return t.requestor == requestor && t.property == property; });
  transfers_.push_back(Transfer{requestor, property, offer->type, offer->data, 0});
  return true;
}

// MULTIPLE: the requestor's property holds (target, property) pairs; each is converted, and a pair
// we cannot convert is written back as (None, None).
bool SelectionOwner::convertMultiple(xcb_window_t requestor, xcb_atom_t property) {
  if (property == XCB_NONE) return false;
  xcb_connection_t* c = link_.connection();
  Reply<xcb_get_property_reply_t> reply{xcb_get_property_reply(
      c, xcb_get_property(c, 0, requestor, property, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxMultiple * 2), nullptr)};
  if (!reply || reply->format != 32) return false;
  const auto* values = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
  std::vector<xcb_atom_t> pairs(values, values + ptrdiff_t{xcb_get_property_value_length(reply.get())} / 4 / 2 * 2);
  for (size_t i = 0; i < pairs.size(); i += 2) {
    const bool done =
        pairs[i] != link_.atoms().multiple && pairs[i + 1] != XCB_NONE && convert(requestor, pairs[i], pairs[i + 1]);
    if (!done) pairs[i] = pairs[i + 1] = XCB_NONE;
  }
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, reply->type, 32,
                      static_cast<uint32_t>(pairs.size()), pairs.data());
  return true;
}

void SelectionOwner::serve(const xcb_selection_request_event_t& request) {
  const xcb_atom_t multiple = link_.atoms().multiple;
  xcb_atom_t property = request.property == XCB_NONE ? request.target : request.property;  // obsolete clients
  bool served = false;
  if (owner_ && request.selection == link_.atoms().clipboard &&
      (request.time == XCB_CURRENT_TIME || request.time >= ownedSince_)) {
    served = request.target == multiple ? convertMultiple(request.requestor, request.property)
                                        : convert(request.requestor, request.target, property);
  }
  xcb_selection_notify_event_t notify{};
  notify.response_type = XCB_SELECTION_NOTIFY;
  notify.time = request.time;
  notify.requestor = request.requestor;
  notify.selection = request.selection;
  notify.target = request.target;
  notify.property = served ? (request.target == multiple ? request.property : property) : XCB_NONE;
  xcb_send_event(link_.connection(), 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                 reinterpret_cast<const char*>(&notify));
  xcb_flush(link_.connection());
}

// The requestor deleted the property: it wants the next chunk (an empty one ends the transfer).
void SelectionOwner::continueTransfer(const xcb_property_notify_event_t& notify) {
  if (notify.state != XCB_PROPERTY_DELETE) return;
  for (auto it = transfers_.begin(); it != transfers_.end(); ++it) {
    if (it->requestor != notify.window || it->property != notify.atom) continue;
    const size_t length = std::min(kIncrChunk, it->data->size() - it->offset);
    xcb_change_property(link_.connection(), XCB_PROP_MODE_REPLACE, it->requestor, it->property, it->type, 8,
                        static_cast<uint32_t>(length), it->data->data() + it->offset);
    it->offset += length;
    if (length == 0) transfers_.erase(it);
    xcb_flush(link_.connection());
    return;
  }
}

}  // namespace mirelo::services::platform::xcb
