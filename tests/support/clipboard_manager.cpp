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

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

xcb_connection_t* c;
xcb_window_t window;

xcb_atom_t atom(const char* name) {
  xcb_intern_atom_reply_t* reply =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  const xcb_atom_t value = reply ? reply->atom : XCB_NONE;
  std::free(reply);
  return value;
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
std::optional<Value> takeConverted(xcb_atom_t property, xcb_atom_t incr) {
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

void notify(const xcb_selection_request_event_t& request, xcb_atom_t property) {
  xcb_selection_notify_event_t event{};
  event.response_type = XCB_SELECTION_NOTIFY;
  event.time = request.time;
  event.requestor = request.requestor;
  event.selection = request.selection;
  event.target = request.target;
  event.property = property;
  xcb_send_event(c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
  xcb_flush(c);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string mode = argv[1];
  c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) return 1;
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  window = xcb_generate_id(c);
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    screen->root_visual, XCB_CW_EVENT_MASK, &mask);
  const xcb_atom_t manager = atom("CLIPBOARD_MANAGER"), clipboard = atom("CLIPBOARD"), save = atom("SAVE_TARGETS"),
                   targets = atom("TARGETS"), multiple = atom("MULTIPLE"), incr = atom("INCR"),
                   pair = atom("ATOM_PAIR"), timestamp = atom("TIMESTAMP");
  xcb_set_selection_owner(c, window, manager, XCB_CURRENT_TIME);
  xcb_flush(c);
  std::printf("ready\n");
  std::fflush(stdout);

  std::map<xcb_atom_t, Value> saved;
  while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
    if ((event->response_type & 0x7f) != XCB_SELECTION_REQUEST) {
      std::free(event);
      continue;
    }
    const auto request = *reinterpret_cast<xcb_selection_request_event_t*>(event);
    std::free(event);
    if (request.selection == clipboard) {  // serving what was saved
      xcb_atom_t property = XCB_NONE;
      if (request.target == targets) {
        std::vector<xcb_atom_t> list{targets};
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
      notify(request, property);
      continue;
    }
    if (request.selection != manager || request.target != save) {
      notify(request, XCB_NONE);
      continue;
    }
    if (mode == "silent") continue;
    if (mode == "vanish") return 0;
    if (mode == "refuse") {
      notify(request, XCB_NONE);
      continue;
    }
    // The targets to save: the requestor's list, else the owner's TARGETS.
    std::vector<xcb_atom_t> wanted;
    std::optional<Value> list;
    if (request.property != XCB_NONE) list = readProperty(request.requestor, request.property, false);
    if (!list) {
      const xcb_atom_t into = atom("MANAGER_TARGETS");
      if (convert(clipboard, targets, into, request.time).value_or(XCB_NONE) != XCB_NONE) {
        list = takeConverted(into, incr);
      }
    }
    if (list) {
      const auto* atoms = reinterpret_cast<const xcb_atom_t*>(list->bytes.data());
      for (size_t i = 0; i < list->bytes.size() / 4; ++i) {
        if (atoms[i] != targets && atoms[i] != multiple && atoms[i] != save && atoms[i] != timestamp) {
          wanted.push_back(atoms[i]);
        }
      }
    }
    std::vector<xcb_atom_t> properties;
    for (size_t i = 0; i < wanted.size(); ++i) properties.push_back(atom(("MANAGER_" + std::to_string(i)).c_str()));
    saved.clear();
    if (mode == "multiple") {
      std::vector<xcb_atom_t> pairs;
      for (size_t i = 0; i < wanted.size(); ++i) pairs.insert(pairs.end(), {wanted[i], properties[i]});
      const xcb_atom_t into = atom("MANAGER_MULTIPLE");
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, into, pair, 32, static_cast<uint32_t>(pairs.size()),
                          pairs.data());
      if (convert(clipboard, multiple, into, request.time).value_or(XCB_NONE) == into) {
        auto answered = readProperty(window, into, true);
        const size_t count = answered ? answered->bytes.size() / 8 : 0;
        const auto* back = answered ? reinterpret_cast<const xcb_atom_t*>(answered->bytes.data()) : nullptr;
        for (size_t i = 0; i < count && i < wanted.size(); ++i) {
          if (back[2 * i] == XCB_NONE || back[2 * i + 1] == XCB_NONE) continue;  // not converted
          if (auto value = takeConverted(properties[i], incr)) saved[wanted[i]] = std::move(*value);
        }
      }
    } else {
      for (size_t i = 0; i < wanted.size(); ++i) {
        if (convert(clipboard, wanted[i], properties[i], request.time).value_or(XCB_NONE) == XCB_NONE) continue;
        if (auto value = takeConverted(properties[i], incr)) saved[wanted[i]] = std::move(*value);
      }
    }
    xcb_set_selection_owner(c, window, clipboard, request.time);
    std::string line = "saved";
    for (const auto& [target, value] : saved) {
      line += " " + nameOf(target) + "=" + nameOf(value.type) + "-" + std::to_string(value.bytes.size());
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    notify(request, saved.empty() ? XCB_NONE : request.property);
  }
  return 0;
}
