// One read of another program's offer: ConvertSelection with a fresh server timestamp, then the
// property, following INCR chunk by chunk. Every wait is bounded (1.5 s per answer or chunk, 3 s
// or the caller's deadline for the whole), so a stuck owner costs seconds, never a hang; requests
// for our own offer that arrive meanwhile are served by the link's handler.
#include "pasteboard_xcb_reader.h"

#include <algorithm>

namespace mirelo::services::platform::xcb {
namespace {

// All of one read, however the owner drips it, when no command set a bound of its own.
constexpr auto kReadTimeout = std::chrono::seconds(3);

// Reads and deletes our property; nothing when it is missing or past the limit.
std::optional<Converted> takeProperty(Link& link, size_t limit) {
  xcb_connection_t* c = link.connection();
  Reply<xcb_get_property_reply_t> reply{
      xcb_get_property_reply(c,
                             xcb_get_property(c, 1, link.window(), link.atoms().property, XCB_GET_PROPERTY_TYPE_ANY, 0,
                                              static_cast<uint32_t>(limit / 4 + 2)),
                             nullptr)};
  if (!reply || reply->bytes_after > 0) return std::nullopt;
  const int length = xcb_get_property_value_length(reply.get());
  if (static_cast<size_t>(length) > limit) return std::nullopt;
  return Converted{reply->type, std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                                            static_cast<size_t>(length))};
}

// INCR: each chunk arrives as a new value of the property, which we delete to ask for the next;
// an empty chunk ends the data.
std::optional<Converted> takeIncremental(Link& link, size_t limit, const std::function<Clock::time_point()>& answerBy) {
  Converted data{XCB_NONE, {}};
  for (;;) {
    const bool more = link.waitFor(answerBy(), [&](xcb_generic_event_t* event) {
      if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
      auto* notify = reinterpret_cast<xcb_property_notify_event_t*>(event);
      return notify->window == link.window() && notify->atom == link.atoms().property &&
             notify->state == XCB_PROPERTY_NEW_VALUE;
    });
    if (!more) return std::nullopt;
    auto chunk = takeProperty(link, limit - data.bytes.size());
    if (!chunk) return std::nullopt;
    if (chunk->bytes.empty()) return data;
    data.type = chunk->type;
    data.bytes += chunk->bytes;
  }
}

}  // namespace

// The conversion is asked with a server timestamp, not CurrentTime: owners may refuse requests
// from before they owned the selection, and the answer, which carries the request's time, is told
// apart from a late answer to an earlier request that gave up (an older time).
std::optional<Converted> convertSelection(Link& link, xcb_atom_t target, size_t limit, Clock::time_point deadline) {
  if (target == XCB_NONE) return std::nullopt;
  const Clock::time_point readEnd = Clock::now() + kReadTimeout;
  // Each wait ends at the owner's per-answer bound or at the read's overall deadline, whichever
  // comes first: an owner that drips a byte a second cannot hold the main thread.
  const auto answerBy = [&] { return std::min({Clock::now() + kAnswerTimeout, readEnd, deadline}); };
  xcb_connection_t* c = link.connection();
  const xcb_atom_t clipboard = link.atoms().clipboard;
  const xcb_timestamp_t time = link.serverTime();
  xcb_delete_property(c, link.window(), link.atoms().property);
  xcb_convert_selection(c, link.window(), clipboard, target, link.atoms().property, time);
  xcb_flush(c);
  xcb_atom_t answered = XCB_NONE;
  const bool notified = link.waitFor(answerBy(), [&](xcb_generic_event_t* event) {
    if ((event->response_type & 0x7f) != XCB_SELECTION_NOTIFY) return false;
    auto* notify = reinterpret_cast<xcb_selection_notify_event_t*>(event);
    if (notify->requestor != link.window() || notify->selection != clipboard || notify->target != target) return false;
    if (notify->time != XCB_CURRENT_TIME && notify->time < time) return false;  // an earlier request's
    answered = notify->property;
    return true;
  });
  if (!notified || answered == XCB_NONE) return std::nullopt;
  auto first = takeProperty(link, limit);
  if (!first || first->type != link.atoms().incr) return first;
  return takeIncremental(link, limit, answerBy);
}

std::vector<std::string> ownerTargets(Link& link, Clock::time_point deadline) {
  std::vector<std::string> names;
  const auto list = convertSelection(link, link.atoms().targets, size_t{64} * 1024, deadline);
  if (!list) return names;
  const auto* atoms = reinterpret_cast<const xcb_atom_t*>(list->bytes.data());
  for (size_t i = 0; i < list->bytes.size() / sizeof(xcb_atom_t); ++i) names.push_back(link.atomName(atoms[i]));
  return names;
}

}  // namespace mirelo::services::platform::xcb
