// The keychain as the Secret Service, through libsecret's asynchronous calls. Each call iterates the
// main context until it answers, as a modal panel does: the unlock prompt can wait for the user
// while the clipboard and other windows stay served, and requests read meanwhile wait in the main
// queue, whose source does not recurse. Items are searched without unlocking first, so that "not
// there" is told apart from "the user said no".
#include <libsecret/secret.h>

#include "bus_gdbus.h"
#include "keyring.h"

namespace mirelo::services::platform {
namespace {

// Calls to the service are bounded; only the wait for the user at an unlock prompt is not.
constexpr guint kCallTimeoutMs = 2500;

// Starts an asynchronous call with (cancellable, callback, data) and iterates the main context until
// it answers. With a bound, the call is cancelled when it passes, and answers with an error.
template <class Start>
GAsyncResult* await(Start start, guint timeoutMs) {
  GAsyncResult* result = nullptr;
  GCancellable* cancellable = g_cancellable_new();
  guint timer = 0;
  if (timeoutMs) {
    timer = g_timeout_add(timeoutMs, [](gpointer data) {
      g_cancellable_cancel(static_cast<GCancellable*>(data));
      return G_SOURCE_REMOVE;
    }, cancellable);
  }
  start(cancellable, +[](GObject*, GAsyncResult* answer, gpointer data) {
    *static_cast<GAsyncResult**>(data) = G_ASYNC_RESULT(g_object_ref(answer));
  }, &result);
  while (!result) g_main_context_iteration(nullptr, TRUE);
  if (timer && !g_cancellable_is_cancelled(cancellable)) g_source_remove(timer);
  g_object_unref(cancellable);
  return result;
}

class SecretServiceKeychain final : public Keychain {
 public:
  ~SecretServiceKeychain() override {
    if (service_) g_object_unref(service_);
  }

  Lookup findPassword(std::string_view name) override {
    Lookup lookup;
    SecretService* service = connect();
    if (!service) return lookup;

    const std::string value(name);
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(value.c_str()));
    GAsyncResult* result = await([&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
      secret_service_search(service, nullptr, attributes, SECRET_SEARCH_ALL, cancellable, callback, data);
    }, kCallTimeoutMs);
    GError* error = nullptr;
    GList* items = secret_service_search_finish(service, result, &error);
    g_object_unref(result);
    g_hash_table_unref(attributes);
    if (error) g_error_free(error);  // no answer, or a failed search: as if not there

    // An unlocked item is taken before a locked one, which would need the user's consent.
    SecretItem* item = nullptr;
    for (GList* each = items; each; each = each->next) {
      auto* candidate = static_cast<SecretItem*>(each->data);
      if (!item || (secret_item_get_locked(item) && !secret_item_get_locked(candidate))) item = candidate;
    }
    if (item) g_object_ref(item);
    g_list_free_full(items, g_object_unref);
    if (!item) return lookup;

    if (secret_item_get_locked(item)) {
      GList* objects = g_list_prepend(nullptr, item);
      // Unbounded: the prompt waits for the user.
      result = await([&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
        secret_service_unlock(service, objects, cancellable, callback, data);
      }, 0);
      g_list_free(objects);
      GList* unlocked = nullptr;
      const gint count = secret_service_unlock_finish(service, result, &unlocked, &error);
      g_object_unref(result);
      g_list_free_full(unlocked, g_object_unref);
      if (error || count == 0) {  // an error is a failed unlock; no error and nothing unlocked, a dismissed prompt
        lookup.status = error ? Status::authenticationFailed : Status::cancelled;
        if (error) g_error_free(error);
        g_object_unref(item);
        return lookup;
      }
    }

    result = await([&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
      secret_item_load_secret(item, cancellable, callback, data);
    }, kCallTimeoutMs);
    const bool loaded = secret_item_load_secret_finish(item, result, nullptr);
    g_object_unref(result);
    SecretValue* secret = loaded ? secret_item_get_secret(item) : nullptr;
    g_object_unref(item);
    if (!loaded) return lookup;  // gone or locked again since the search: as if not there
    if (!secret) {
      lookup.status = Status::noData;
      return lookup;
    }
    gsize size = 0;
    const gchar* bytes = secret_value_get(secret, &size);
    lookup.secret = SecretBytes(bytes, size);
    lookup.status = Status::found;
    // The item is gone, so ours is the only reference: clear libsecret's copy before it is freed.
    if (bytes && size) ::explicit_bzero(const_cast<gchar*>(bytes), size);
    secret_value_unref(secret);
    return lookup;
  }

 private:
  // Without a session bus there is no keychain to ask. The check also keeps GLib from launching a
  // bus of its own through dbus-launch, which libsecret's default bus lookup would do.
  SecretService* connect() {
    if (service_) return service_;
    if (sessionBusAddress().empty()) return nullptr;
    GAsyncResult* result = await([](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
      secret_service_get(SECRET_SERVICE_NONE, cancellable, callback, data);
    }, kCallTimeoutMs);
    service_ = secret_service_get_finish(result, nullptr);
    g_object_unref(result);
    return service_;
  }

  SecretService* service_ = nullptr;
};

}  // namespace

std::unique_ptr<Keychain> makeSecretServiceKeychain() {
  return std::make_unique<SecretServiceKeychain>();
}

}  // namespace mirelo::services::platform
