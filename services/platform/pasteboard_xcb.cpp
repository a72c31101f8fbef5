// The clipboard as an X11 selection, spoken directly over XCB: the Pasteboard seam over the
// selection owner (our offer, pasteboard_xcb_owner.cpp) and the reader (others' offers,
// pasteboard_xcb_reader.cpp), sharing one connection and hidden window (pasteboard_xcb_link.cpp).
// What we own is read from memory; anything else costs a TARGETS round trip and one conversion per
// type read. Everything runs on the main thread; the connection's descriptor is watched by a GLib
// source so the offer is served whenever the main loop runs.
#include "pasteboard_xcb.h"

#include <algorithm>

#include "pasteboard_xcb_owner.h"
#include "pasteboard_xcb_reader.h"
#include "utf8.h"
#include "x11_text.h"

namespace mirelo::services::platform {
namespace {

using xcb::Clock;

class XcbPasteboard final : public Pasteboard {
 public:
  XcbPasteboard(xcb_connection_t* connection, xcb_screen_t* screen) : link_(connection, screen), owner_(link_) {
    link_.setHandler([this](xcb_generic_event_t* event) { owner_.handle(event); });
  }

  // Once the X server is gone the pasteboard is as absent as without a display; what we offered
  // went with it.
  bool gone() const { return link_.gone(); }

  std::vector<std::unique_ptr<Item>> items() override;
  std::vector<std::string> fileUrls() override;
  std::optional<std::string> text() override;
  void limitReads(Clock::time_point deadline) override { readDeadline_ = deadline; }

  bool write(PasteboardItem item) override { return !gone() && owner_.take(std::move(item)); }

  void handOverBeforeExit() override {
    if (!gone()) owner_.handOver();
  }

  // The target names the owner offers (read once per item).
  std::vector<std::string> offeredTargets() {
    std::vector<std::string> names;
    if (!owner_.owns()) return xcb::ownerTargets(link_, readDeadline_);
    for (const xcb::Offer& offer : owner_.offers()) names.push_back(link_.atomName(offer.target));
    return names;
  }

  std::optional<std::string> fetchTarget(const std::string& type, size_t limit) {
    auto answer = fetchTyped(type, limit);
    link_.drainQueued();
    if (!answer) return std::nullopt;
    return std::move(answer->bytes);
  }

 private:
  // Our own offer from memory, without a round trip; another owner's through the server.
  std::optional<xcb::Converted> fetchTyped(const std::string& type, size_t limit) {
    if (!owner_.owns()) return xcb::convertSelection(link_, link_.atom(type), limit, readDeadline_);
    const xcb_atom_t target = link_.atom(type);
    for (const xcb::Offer& offer : owner_.offers()) {
      if (offer.target != target) continue;
      if (offer.data->size() > limit) return std::nullopt;
      return xcb::Converted{offer.type, *offer.data};
    }
    return std::nullopt;
  }

  xcb::Link link_;
  xcb::SelectionOwner owner_;
  Clock::time_point readDeadline_ = Clock::time_point::max();
};

class XcbItem final : public Pasteboard::Item {
 public:
  explicit XcbItem(XcbPasteboard& owner) : pasteboard_(owner) {}
  std::optional<std::string> data(std::string_view type, size_t limit) override {
    if (!targets_) targets_ = pasteboard_.offeredTargets();
    for (const std::string& offered : *targets_) {
      if (offered == type) return pasteboard_.fetchTarget(offered, limit);
    }
    return std::nullopt;
  }

 private:
  XcbPasteboard& pasteboard_;
  std::optional<std::vector<std::string>> targets_;
};

std::vector<std::unique_ptr<Pasteboard::Item>> XcbPasteboard::items() {
  std::vector<std::unique_ptr<Item>> list;
  if (gone()) return list;
  const xcb_window_t current = link_.syncedOwner();  // first: it may end our ownership
  if (owner_.owns() || current != XCB_NONE) list.push_back(std::make_unique<XcbItem>(*this));
  return list;
}

std::vector<std::string> XcbPasteboard::fileUrls() {
  if (gone()) return {};
  link_.syncedOwner();
  std::vector<std::string> urls;
  std::optional<std::string> list;
  for (const std::string& offered : offeredTargets()) {
    if (offered == kUriListType) list = fetchTarget(offered, 1 << 20);
  }
  link_.drainQueued();
  for (size_t start = 0; list && start < list->size();) {
    size_t end = list->find('\n', start);
    if (end == std::string::npos) end = list->size();
    std::string line = list->substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("file://")) urls.push_back(line);
    start = end + 1;
  }
  return urls;
}

// The first text target the owner lists, in the order of preference: UTF-8 ones, then those of
// older programs (an owner started before anyone made the UTF8_STRING atom may offer only STRING
// and TEXT).
std::optional<std::string> XcbPasteboard::text() {
  if (gone()) return std::nullopt;
  link_.syncedOwner();
  static constexpr std::string_view kPreference[] = {"UTF8_STRING", "text/plain;charset=utf-8", "STRING", "TEXT",
                                                     "text/plain"};
  const std::vector<std::string> offered = offeredTargets();
  for (std::string_view wanted : kPreference) {
    if (std::find(offered.begin(), offered.end(), wanted) == offered.end()) continue;
    auto answer = fetchTyped(std::string(wanted), 16 << 20);
    link_.drainQueued();
    if (!answer) continue;
    auto& [type, bytes] = *answer;
    if (type == link_.atoms().utf8 || wanted.starts_with("text/plain;")) {
      repairUtf8(bytes);
    } else if (link_.atomName(type) == "COMPOUND_TEXT" && bytes.find('\x1b') != std::string::npos) {
      continue;  // switches to other character sets: nothing we can read
    } else {
      bytes = x11text::utf8FromStringType(bytes);  // STRING, or a TEXT without escapes
    }
    return std::move(bytes);
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
