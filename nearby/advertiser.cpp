// The entry group's life (see advertiser.h).
#include "advertiser.h"

#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

#include "bounds.h"

namespace nearby {
namespace {

void onGroup(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
  static_cast<Advertiser*>(userdata)->onGroupState(group, state);
}

}  // namespace

Advertiser::Advertiser(Service service, bool advertising, Report report)
    : service_(std::move(service)), advertising_(advertising), report_(std::move(report)) {}

Advertiser::~Advertiser() {
  if (group_) avahi_entry_group_free(group_);
}

void Advertiser::advertise() {
  advertising_ = true;
  publish();
}

void Advertiser::withdraw() {
  advertising_ = false;
  if (group_) avahi_entry_group_reset(group_);
}

void Advertiser::clientRunning(AvahiClient* client) {
  client_ = client;
  if (advertising_) publish();
}

void Advertiser::clientWaiting(const NetError& why) {
  if (advertising_) report(State::Waiting, why);
}

void Advertiser::clientGone() {
  client_ = nullptr;
  group_ = nullptr;
}

void Advertiser::hostRenaming() {
  if (group_) avahi_entry_group_reset(group_);
}

void Advertiser::takeAlternativeName() {
  char* alternative = avahi_alternative_service_name(service_.name.c_str());
  service_.name = alternative;
  avahi_free(alternative);
}

void Advertiser::publish() {
  if (!client_ || !advertising_) return;
  if (!group_) {
    group_ = avahi_entry_group_new(client_, onGroup, this);
    if (!group_) return report(State::Failed, avahiError(avahi_client_errno(client_)));
  }
  if (!avahi_entry_group_is_empty(group_)) return;
  AvahiStringList* txt = nullptr;
  // Avahi prepends to its lists and writes them to the wire last item first: this gives v, r, p, m.
  // Each string is added with its length: a value may hold U+0000, which C strings would cut.
  for (const auto& [key, value] : service_.txt) {
    const std::string entry = std::string(key).append(1, '=').append(value);
    txt = avahi_string_list_add_arbitrary(txt, reinterpret_cast<const uint8_t*>(entry.data()), entry.size());
  }
  std::string type(serviceType);
  int result = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    result =
        avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                             service_.name.c_str(), type.c_str(), nullptr, nullptr, service_.port, txt);
    if (result != AVAHI_ERR_COLLISION) break;
    takeAlternativeName();
  }
  avahi_string_list_free(txt);
  if (result >= 0) result = avahi_entry_group_commit(group_);
  if (result < 0) report(State::Failed, avahiError(result));
}

void Advertiser::onGroupState(AvahiEntryGroup* group, int state) {
  if (group != group_) return;
  switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED: report(State::Ready, std::nullopt); break;
    case AVAHI_ENTRY_GROUP_COLLISION:
      // Another host holds the name: take the next alternative and publish again.
      takeAlternativeName();
      avahi_entry_group_reset(group_);
      publish();
      break;
    case AVAHI_ENTRY_GROUP_FAILURE: report(State::Failed, avahiError(avahi_client_errno(client_))); break;
    default: break;
  }
}

// The listener reports changes only, as the object it stands for does.
void Advertiser::report(State state, const std::optional<NetError>& error) {
  std::string code = error ? errorCode(*error) : std::string();
  if (state == state_ && code == code_) return;
  state_ = state;
  code_ = std::move(code);
  report_(state, error);
}

}  // namespace nearby
