// A clipboard manager for tests: `clipboard_manager MODE`. It owns CLIPBOARD_MANAGER, prints
// "ready", and answers a SAVE_TARGETS request as MODE says:
//   multiple  fetches the listed targets (or those of TARGETS) with one MULTIPLE request, INCR
//             included, takes CLIPBOARD and then confirms; serves what it saved until killed
//   single    the same, one conversion per target
//   silent    never answers
//   refuse    refuses at once
//   vanish    exits at once, without answering
// After a save it prints "saved TARGET=TYPE-LENGTH ..." (each target saved, its type and size).
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "clipboard_peer.h"

namespace {

using namespace mirelo::testing::clipboard;

xcb_connection_t* c;
xcb_window_t window;

// Interned once each.
xcb_atom_t atom(const std::string& name) {
  static std::map<std::string, xcb_atom_t> known;
  const auto [found, added] = known.try_emplace(name, XCB_NONE);
  if (added) found->second = mirelo::testing::clipboard::atom(c, name.c_str());
  return found->second;
}

std::string nameOf(xcb_atom_t value) {
  xcb_get_atom_name_reply_t* reply = xcb_get_atom_name_reply(c, xcb_get_atom_name(c, value), nullptr);
  std::string name = reply ? std::string(xcb_get_atom_name_name(reply), xcb_get_atom_name_name_length(reply)) : "";
  std::free(reply);
  return name;
}

struct Value {
  xcb_atom_t type = XCB_NONE;
  uint8_t format = 8;
  std::string bytes;
};

using Saved = std::map<xcb_atom_t, Value>;

std::optional<Value> readProperty(xcb_window_t owner, xcb_atom_t property, bool remove) {
  xcb_get_property_reply_t* reply = xcb_get_property_reply(
      c, xcb_get_property(c, remove, owner, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 64 << 20), nullptr);
  if (!reply || reply->type == XCB_NONE) {
    std::free(reply);
    return std::nullopt;
  }
  Value value{reply->type, reply->format,
              std::string(static_cast<const char*>(xcb_get_property_value(reply)),
                          static_cast<size_t>(xcb_get_property_value_length(reply)))};
  std::free(reply);
  return value;
}

// Waits up to 5 s for an event `match` takes; the others are dropped (nothing is served while
// saving: the one owner asked is the program that is handing over).
template <class Match>
bool waitFor(Match match) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    xcb_generic_event_t* event = xcb_poll_for_event(c);
    if (!event) {
      if (xcb_connection_has_error(c)) return false;
      timespec pause{0, 2'000'000};
      nanosleep(&pause, nullptr);
      continue;
    }
    const bool taken = match(event);
    std::free(event);
    if (taken) return true;
  }
  return false;
}

// A property the owner filled: read it, following INCR when the owner sends it in chunks.
std::optional<Value> takeConverted(xcb_atom_t property) {
  const xcb_atom_t incr = atom("INCR");
  auto first = readProperty(window, property, true);
  if (!first || first->type != incr) return first;
  Value whole;
  for (;;) {
    const bool more = waitFor([&](xcb_generic_event_t* event) {
      if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
      auto* notify = reinterpret_cast<xcb_property_notify_event_t*>(event);
      return notify->atom == property && notify->state == XCB_PROPERTY_NEW_VALUE;
    });
    if (!more) return std::nullopt;
    auto chunk = readProperty(window, property, true);
    if (!chunk) return std::nullopt;
    if (chunk->bytes.empty()) return whole;
    whole.type = chunk->type;
    whole.format = chunk->format;
    whole.bytes += chunk->bytes;
  }
}

std::optional<xcb_atom_t> convert(xcb_atom_t selection, xcb_atom_t target, xcb_atom_t property, xcb_timestamp_t time) {
  xcb_convert_selection(c, window, selection, target, property, time);
  xcb_flush(c);
  std::optional<xcb_atom_t> answered;
  waitFor([&](xcb_generic_event_t* event) {
    if ((event->response_type & 0x7f) != XCB_SELECTION_NOTIFY) return false;
    auto* notify = reinterpret_cast<xcb_selection_notify_event_t*>(event);
    if (notify->target != target) return false;
    answered = notify->property;
    return true;
  });
  return answered;
}

// Answers a request for CLIPBOARD, once we own it, from what was saved.
void serveSaved(const xcb_selection_request_event_t& request, const Saved& saved) {
  xcb_atom_t property = XCB_NONE;
  if (request.target == atom("TARGETS")) {
    std::vector<xcb_atom_t> list{atom("TARGETS")};
    for (const auto& [target, value] : saved) list.push_back(target);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, request.property, XCB_ATOM_ATOM, 32,
                        static_cast<uint32_t>(list.size()), list.data());
    property = request.property;
  } else if (auto found = saved.find(request.target); found != saved.end()) {
    const Value& value = found->second;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, request.property, value.type, value.format,
                        static_cast<uint32_t>(value.bytes.size() / (value.format / 8)), value.bytes.data());
    property = request.property;
  }
  notify(c, request, property);
}

// The targets to save: the requestor's list, else the owner's TARGETS; never the special ones.
std::vector<xcb_atom_t> targetsToSave(const xcb_selection_request_event_t& request) {
  std::optional<Value> list;
  if (request.property != XCB_NONE) list = readProperty(request.requestor, request.property, false);
  if (!list) {
    const xcb_atom_t into = atom("MANAGER_TARGETS");
    if (convert(atom("CLIPBOARD"), atom("TARGETS"), into, request.time).value_or(XCB_NONE) != XCB_NONE) {
      list = takeConverted(into);
    }
  }
  std::vector<xcb_atom_t> wanted;
  const xcb_atom_t special[] = {atom("TARGETS"), atom("MULTIPLE"), atom("SAVE_TARGETS"), atom("TIMESTAMP")};
  const auto* atoms = list ? reinterpret_cast<const xcb_atom_t*>(list->bytes.data()) : nullptr;
  for (size_t i = 0; list && i < list->bytes.size() / 4; ++i) {
    if (std::find(std::begin(special), std::end(special), atoms[i]) == std::end(special)) wanted.push_back(atoms[i]);
  }
  return wanted;
}

// Fetches `wanted` from the clipboard's owner: one MULTIPLE request, or one conversion each.
Saved fetch(const std::vector<xcb_atom_t>& wanted, bool multiple, xcb_timestamp_t time) {
  const xcb_atom_t clipboard = atom("CLIPBOARD");
  std::vector<xcb_atom_t> properties;
  for (size_t i = 0; i < wanted.size(); ++i) properties.push_back(atom("MANAGER_" + std::to_string(i)));
  Saved saved;
  if (!multiple) {
    for (size_t i = 0; i < wanted.size(); ++i) {
      if (convert(clipboard, wanted[i], properties[i], time).value_or(XCB_NONE) == XCB_NONE) continue;
      if (auto value = takeConverted(properties[i])) saved[wanted[i]] = std::move(*value);
    }
    return saved;
  }
  std::vector<xcb_atom_t> pairs;
  for (size_t i = 0; i < wanted.size(); ++i) pairs.insert(pairs.end(), {wanted[i], properties[i]});
  const xcb_atom_t into = atom("MANAGER_MULTIPLE");
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, into, atom("ATOM_PAIR"), 32,
                      static_cast<uint32_t>(pairs.size()), pairs.data());
  if (convert(clipboard, atom("MULTIPLE"), into, time).value_or(XCB_NONE) != into) return saved;
  auto answered = readProperty(window, into, true);
  const size_t count = answered ? answered->bytes.size() / 8 : 0;
  const auto* back = answered ? reinterpret_cast<const xcb_atom_t*>(answered->bytes.data()) : nullptr;
  for (size_t i = 0; i < count && i < wanted.size(); ++i) {
    if (back[2 * i] == XCB_NONE || back[2 * i + 1] == XCB_NONE) continue;  // not converted
    if (auto value = takeConverted(properties[i])) saved[wanted[i]] = std::move(*value);
  }
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string mode = argv[1];
  const Peer peer = connectPeer(XCB_EVENT_MASK_PROPERTY_CHANGE);
  if (!peer.c) return 1;
  c = peer.c;
  window = peer.window;
  // Interned before anything is asked, as a manager that knows its atoms would.
  const xcb_atom_t manager = atom("CLIPBOARD_MANAGER"), clipboard = atom("CLIPBOARD"), save = atom("SAVE_TARGETS");
  for (const char* name : {"TARGETS", "MULTIPLE", "INCR", "ATOM_PAIR", "TIMESTAMP"}) atom(name);
  ownAndAnnounce(peer, manager);

  Saved saved;
  while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
    if ((event->response_type & 0x7f) != XCB_SELECTION_REQUEST) {
      std::free(event);
      continue;
    }
    const auto request = *reinterpret_cast<xcb_selection_request_event_t*>(event);
    std::free(event);
    if (request.selection == clipboard) {
      serveSaved(request, saved);
      continue;
    }
    if (request.selection != manager || request.target != save) {
      notify(c, request, XCB_NONE);
      continue;
    }
    if (mode == "silent") continue;
    if (mode == "vanish") return 0;
    if (mode == "refuse") {
      notify(c, request, XCB_NONE);
      continue;
    }
    saved = fetch(targetsToSave(request), mode == "multiple", request.time);
    xcb_set_selection_owner(c, window, clipboard, request.time);
    std::string line = "saved";
    for (const auto& [target, value] : saved) {
      line += " " + nameOf(target) + "=" + nameOf(value.type) + "-" + std::to_string(value.bytes.size());
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    notify(c, request, saved.empty() ? XCB_NONE : request.property);
  }
  return 0;
}
