// The keychain as the Secret Service, through libsecret's asynchronous calls, each awaited on the
// main context (keyring_await.h) under the lookup's deadline and while the service's name is
// watched: the unlock prompt can wait for the user while the clipboard and other windows stay
// served, and a service that leaves, even with its prompt open, ends the wait at once. Items are
// searched without unlocking first, so that "not there" is told apart from "the user said no".
//
// Each service name "<Name> Safe Storage" is looked up three ways, in this order:
//   1. items whose attribute `service` is the name;
//   2. Chromium's key storage (components/os_crypt, key_storage_libsecret): the attributes
//      `xdg:schema` "chrome_libsecret_os_crypt_password_v2" and `application` "<Name>";
//   3. its older form, `xdg:schema` "chrome_libsecret_os_crypt_password" alone, told apart only by
//      the label "<Name> Safe Storage".
#include <libsecret/secret.h>

#include <memory>
#include <optional>
#include <vector>

#include "bus_gdbus.h"
#include "glib_handle.h"
#include "keyring.h"
#include "keyring_await.h"

namespace mirelo::services::platform {
namespace {

constexpr const char* kServiceName = "org.freedesktop.secrets";
constexpr const char* kChromiumSchema = "chrome_libsecret_os_crypt_password_v2";
constexpr const char* kChromiumSchemaV1 = "chrome_libsecret_os_crypt_password";
// An unlock prompt waits for the user, but not for ever: unanswered this long, it is dismissed.
constexpr std::chrono::seconds kPromptBound{120};

using Status = Keychain::Status;
using Item = glib::Object<SecretItem>;
using Value = Handle<SecretValue, secret_value_unref>;

struct Way {
  std::vector<std::pair<std::string, std::string>> attributes;
  std::string label;  // when not empty, only items with this label count
};

std::vector<Way> waysToLook(std::string_view service) {
  std::vector<Way> ways;
  ways.push_back({{{"service", std::string(service)}}, {}});
  if (const std::string_view owner = safeStorageOwner(service); !owner.empty()) {
    ways.push_back({{{"xdg:schema", kChromiumSchema}, {"application", std::string(owner)}}, {}});
    ways.push_back({{{"xdg:schema", kChromiumSchemaV1}}, std::string(service)});
  }
  return ways;
}

class SecretServiceKeychain final : public Keychain {
 public:
  ~SecretServiceKeychain() override { forget(); }

  Lookup findPassword(std::string_view name, Deadline& deadline) override {
    Lookup lookup;
    if (!connect(deadline, lookup.status)) return lookup;
    for (const Way& way : waysToLook(name)) {
      Item item;
      lookup.status = search(way, deadline, item);
      if (lookup.status != Status::notFound) return lookup;  // unavailable: nothing later is trusted
      if (item) return take(std::move(item), deadline);
    }
    return lookup;
  }

 private:
  // False with `status` set when there is no service to ask (not found) or it cannot be reached.
  bool connect(Deadline deadline, Status& status) {
    if (service_) return true;
    // Without a session bus there is no keychain to ask. The check also keeps GLib from launching
    // a bus of its own through dbus-launch, which libsecret's default bus lookup would do.
    status = Status::notFound;
    if (sessionBusAddress().empty()) return false;
    // The bus connection first (libsecret's, GLib's shared one), with the name watched on it before
    // anything is asked.
    Awaited connected =
        awaitCall(nullptr, deadline, [](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
          g_bus_get(G_BUS_TYPE_SESSION, cancellable, callback, data);
        });
    if (connected.end != Awaited::End::answered) {
      status = Status::unavailable;
      return false;
    }
    const glib::Object<GDBusConnection> bus(g_bus_get_finish(connected.result.get(), nullptr));
    if (!bus) return false;
    g_dbus_connection_set_exit_on_close(bus.get(), FALSE);  // a session bus that goes must not end us
    peer_ = std::make_unique<PeerWatch>(bus.get(), kServiceName);
    Awaited awaited =
        awaitCall(peer_.get(), deadline, [](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
          secret_service_get(SECRET_SERVICE_NONE, cancellable, callback, data);
        });
    if (awaited.end == Awaited::End::answered) service_.reset(secret_service_get_finish(awaited.result.get(), nullptr));
    if (!service_) {
      forget();
      status = Status::unavailable;
      return false;
    }
    return true;
  }

  // Drops the service and libsecret's shared copy (its session belongs to the owner that was), so
  // the next lookup starts afresh with whoever owns the name then.
  void forget() {
    if (service_) {
      service_.reset();
      secret_service_disconnect();
    }
    peer_.reset();
  }

  // What a wait that gave up means; the connection is dropped either way.
  Status gaveUp() {
    forget();
    return Status::unavailable;
  }

  // notFound with `item` set or null; unavailable when the service failed.
  Status search(const Way& way, Deadline deadline, Item& item) {
    const glib::HashTable attributes(g_hash_table_new(g_str_hash, g_str_equal));
    for (const auto& [key, value] : way.attributes) {
      g_hash_table_insert(attributes.get(), const_cast<char*>(key.c_str()), const_cast<char*>(value.c_str()));
    }
    SecretService* service = service_.get();
    Awaited awaited =
        awaitCall(peer_.get(), deadline, [&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
          secret_service_search(service, nullptr, attributes.get(), SECRET_SEARCH_ALL, cancellable, callback, data);
        });
    if (awaited.end != Awaited::End::answered) return gaveUp();
    glib::Error error;
    GList* items = secret_service_search_finish(service, awaited.result.get(), glib::out(error));
    if (error) {
      // Nobody owns the name and none can be started: no keychain, as without a bus.
      if (peerAbsent(error.get())) return Status::notFound;
      return gaveUp();
    }
    // An unlocked item is taken before a locked one, which would need the user's consent.
    SecretItem* chosen = nullptr;
    for (GList* each = items; each; each = each->next) {
      auto* candidate = static_cast<SecretItem*>(each->data);
      if (!way.label.empty()) {
        const glib::Chars label(secret_item_get_label(candidate));
        if (!label || way.label != label.get()) continue;
      }
      if (!chosen || (secret_item_get_locked(chosen) && !secret_item_get_locked(candidate))) chosen = candidate;
    }
    if (chosen) item = glib::ref(chosen);
    g_list_free_full(items, g_object_unref);
    return Status::notFound;
  }

  // The data of `item`, through its unlock prompt when locked.
  Lookup take(Item item, Deadline& deadline) {
    Lookup lookup;
    if (secret_item_get_locked(item.get()) && !unlock(item.get(), deadline, lookup.status)) return lookup;
    Awaited awaited =
        awaitCall(peer_.get(), deadline, [&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
          secret_item_load_secret(item.get(), cancellable, callback, data);
        });
    if (awaited.end != Awaited::End::answered) {
      lookup.status = gaveUp();
      return lookup;
    }
    glib::Error error;
    const bool loaded = secret_item_load_secret_finish(item.get(), awaited.result.get(), glib::out(error));
    const Value secret(loaded ? secret_item_get_secret(item.get()) : nullptr);
    item.reset();
    if (!loaded) {
      // Gone or locked again since the search: as if not there. A failing service is not trusted.
      const bool itemGone = error && !g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY) &&
                            !g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT) &&
                            !peerAbsent(error.get());
      lookup.status = itemGone ? Status::notFound : gaveUp();
      return lookup;
    }
    if (!secret) {
      lookup.status = Status::noData;
      return lookup;
    }
    gsize size = 0;
    const gchar* bytes = secret_value_get(secret.get(), &size);
    lookup.secret = SecretBytes(bytes, size);
    lookup.status = Status::found;
    // The item is gone, so ours is the only reference: clear libsecret's copy before it is freed.
    if (bytes && size) ::explicit_bzero(const_cast<gchar*>(bytes), size);
    return lookup;
  }

  // The service's unlock prompt for `item`; false with `status` set when it did not unlock. The
  // prompt's wait for the user does not count against the lookup's deadline.
  bool unlock(SecretItem* item, Deadline& deadline, Status& status) {
    SecretService* service = service_.get();
    GList* objects = g_list_prepend(nullptr, item);
    const auto asked = std::chrono::steady_clock::now();
    const Deadline budget = std::max(deadline, asked);
    Awaited awaited = awaitCall(peer_.get(), asked + kPromptBound,
                                [&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
                                  secret_service_unlock(service, objects, cancellable, callback, data);
                                });
    g_list_free(objects);
    deadline = budget + (std::chrono::steady_clock::now() - asked);
    if (awaited.end != Awaited::End::answered) {
      // Left unanswered for too long: dismissed by us, as if by the user.
      status = awaited.end == Awaited::End::timedOut ? Status::cancelled : gaveUp();
      return false;
    }
    glib::Error error;
    GList* unlocked = nullptr;
    const gint count = secret_service_unlock_finish(service, awaited.result.get(), &unlocked, glib::out(error));
    g_list_free_full(unlocked, g_object_unref);
    if (!error && count != 0) return true;
    // An error is a failed unlock; no error and nothing unlocked, a dismissed prompt.
    status = error ? Status::authenticationFailed : Status::cancelled;
    return false;
  }

  std::unique_ptr<PeerWatch> peer_;
  glib::Object<SecretService> service_;
};

}  // namespace

std::unique_ptr<Keychain> makeSecretServiceKeychain() { return std::make_unique<SecretServiceKeychain>(); }

}  // namespace mirelo::services::platform
