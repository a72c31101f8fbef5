// The pasteboard's X connection: the hidden InputOnly window, atom look-ups (cached), timestamps
// and the bounded event pump the owner and the reader both wait with. Each look-up not cached is
// one round trip; waits poll the socket until their deadline.
#include "pasteboard_xcb_link.h"

#include <glib-unix.h>
#include <poll.h>

namespace mirelo::services::platform::xcb {
namespace {

gboolean readable(gint, GIOCondition, gpointer link) {
  return static_cast<Link*>(link)->dispatchReadable() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

}  // namespace

Link::Link(xcb_connection_t* connection, xcb_screen_t* screen) : c_(connection) {
  window_ = xcb_generate_id(c_);
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, -10, -10, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    screen->root_visual, XCB_CW_EVENT_MASK, &mask);
  // In this order, one round trip each: UTF8_STRING exists on the server from here on.
  atoms_.clipboard = atom("CLIPBOARD");
  atoms_.targets = atom("TARGETS");
  atoms_.timestamp = atom("TIMESTAMP");
  atoms_.multiple = atom("MULTIPLE");
  atoms_.saveTargets = atom("SAVE_TARGETS");
  atoms_.incr = atom("INCR");
  atoms_.utf8 = atom("UTF8_STRING");
  atoms_.property = atom("MIRELO_SELECTION");
  atoms_.clock = atom("MIRELO_CLOCK");
  xcb_flush(c_);
  watch_ = g_unix_fd_add(xcb_get_file_descriptor(c_), G_IO_IN, readable, this);
}

Link::~Link() {
  if (watch_) g_source_remove(watch_);
  xcb_disconnect(c_);
}

xcb_atom_t Link::atom(const std::string& name) {
  if (const auto found = names_.find(name); found != names_.end()) return found->second;
  Reply<xcb_intern_atom_reply_t> reply{
      xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(name.size()), name.data()), nullptr)};
  const xcb_atom_t value = reply ? reply->atom : XCB_NONE;
  if (value != XCB_NONE) names_.emplace(name, value);
  return value;
}

std::string Link::atomName(xcb_atom_t value) {
  for (const auto& [name, known] : names_) {
    if (known == value) return name;
  }
  Reply<xcb_get_atom_name_reply_t> reply{xcb_get_atom_name_reply(c_, xcb_get_atom_name(c_, value), nullptr)};
  if (!reply) return {};
  std::string name(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
  names_.emplace(name, value);
  return name;
}

xcb_window_t Link::ownerOf(xcb_atom_t selection) {
  Reply<xcb_get_selection_owner_reply_t> reply{
      xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, selection), nullptr)};
  return reply ? reply->owner : XCB_NONE;
}

xcb_window_t Link::syncedOwner() {
  const xcb_window_t current = ownerOf(atoms_.clipboard);
  drainQueued();
  return current;
}

xcb_timestamp_t Link::serverTime() {
  xcb_change_property(c_, XCB_PROP_MODE_APPEND, window_, atoms_.clock, XCB_ATOM_STRING, 8, 0, "");
  xcb_flush(c_);
  xcb_timestamp_t time = XCB_CURRENT_TIME;
  waitFor(Clock::now() + kAnswerTimeout, [&](xcb_generic_event_t* event) {
    if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
    auto* notify = reinterpret_cast<xcb_property_notify_event_t*>(event);
    if (notify->window != window_ || notify->atom != atoms_.clock) return false;
    time = notify->time;
    return true;
  });
  return time;
}

bool Link::waitFor(Clock::time_point deadline, const Match& match) {
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

void Link::drainQueued() {
  while (xcb_generic_event_t* event = xcb_poll_for_queued_event(c_)) {
    handle(event);
    std::free(event);
  }
}

bool Link::dispatchReadable() {
  while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
    handle(event);
    std::free(event);
  }
  if (!xcb_connection_has_error(c_)) return true;
  watch_ = 0;
  return false;
}

}  // namespace mirelo::services::platform::xcb
