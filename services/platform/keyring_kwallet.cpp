// The keychain as KWallet, over D-Bus (org.kde.KWallet of kwalletd6, else kwalletd5), where
// Chromium's key storage (components/os_crypt, key_storage_kwallet) keeps "<Name> Safe Storage"
// in the folder "<Name> Keys" of the network wallet. Every call is awaited on the main context
// under the lookup's deadline while the daemon's name is watched; opening the wallet may ask the
// user (its password, or leave for us to read), which has a bound of its own.
#include <cstring>
#include <memory>
#include <string>

#include "bus_gdbus.h"
#include "glib_handle.h"
#include "keyring.h"
#include "keyring_await.h"

namespace mirelo::services::platform {
namespace {

constexpr const char* kInterface = "org.kde.KWallet";
constexpr const char* kAppId = "Mirelo";
constexpr int kConnectTimeoutMs = 2500;
constexpr std::chrono::seconds kOpenBound{120};
constexpr gint kPasswordEntry = 1;  // KWallet::Wallet::Password

struct Daemon {
  const char* name;
  const char* path;
};
constexpr Daemon kDaemons[] = {{"org.kde.kwalletd6", "/modules/kwalletd6"},
                               {"org.kde.kwalletd5", "/modules/kwalletd5"}};

using Status = Keychain::Status;

class KWalletKeychain final : public Keychain {
 public:
  Lookup findPassword(std::string_view service, Deadline& deadline) override {
    Lookup lookup;
    const std::string owner(safeStorageOwner(service));
    if (owner.empty()) return lookup;
    GDBusConnection* bus = liveBus(bus_, sessionBusAddress, kConnectTimeoutMs);
    if (!bus) return lookup;
    for (const Daemon& daemon : kDaemons) {
      Session session{bus, daemon, deadline};
      lookup = session.find(owner + " Keys", std::string(service));
      deadline = session.deadline;
      if (!session.absent) return lookup;
    }
    return lookup;
  }

 private:
  // One lookup's conversation with one daemon.
  struct Session {
    Session(GDBusConnection* connection, const Daemon& which, Deadline until)
        : bus(connection), daemon(which), deadline(until), peer(connection, which.name) {}

    GDBusConnection* bus;
    const Daemon& daemon;
    Deadline deadline;
    PeerWatch peer;
    bool absent = false;  // nobody owns the daemon's name and it cannot be started
    bool failed = false;  // the daemon failed, did not answer in time, or left
    bool timedOut = false;

    // The reply of one method, or null with `absent` or `failed` set.
    glib::Variant call(const char* method, GVariant* parameters, const char* replyType, Deadline until) {
      const glib::Variant owned = glib::sink(parameters);  // ours, whether or not the call is made
      Awaited awaited =
          awaitCall(&peer, until, [&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
            g_dbus_connection_call(bus, daemon.name, daemon.path, kInterface, method, owned.get(),
                                   G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE, G_MAXINT, cancellable, callback,
                                   data);
          });
      if (awaited.end != Awaited::End::answered) {
        timedOut = awaited.end == Awaited::End::timedOut;
        failed = true;
        return nullptr;
      }
      glib::Error error;
      glib::Variant reply(g_dbus_connection_call_finish(bus, awaited.result.get(), glib::out(error)));
      if (!reply) (peerAbsent(error.get()) ? absent : failed) = true;
      return reply;
    }
    glib::Variant call(const char* method, GVariant* parameters, const char* replyType) {
      return call(method, parameters, replyType, deadline);
    }

    bool boolean(const char* method, GVariant* parameters) {
      const glib::Variant reply = call(method, parameters, "(b)");
      gboolean value = FALSE;
      if (reply) g_variant_get(reply.get(), "(b)", &value);
      return value;
    }

    Lookup outcome(Status status) {
      Lookup lookup;
      lookup.status = failed ? Status::unavailable : absent ? Status::notFound : status;
      return lookup;
    }

    Lookup find(const std::string& folder, const std::string& key) {
      if (!boolean("isEnabled", nullptr)) return outcome(Status::notFound);
      glib::Variant reply = call("networkWallet", nullptr, "(s)");
      if (!reply) return outcome(Status::notFound);
      const gchar* walletName = nullptr;
      g_variant_get(reply.get(), "(&s)", &walletName);
      const std::string wallet = walletName;

      // Opening waits for the user when the wallet is closed or we are not yet allowed in; that
      // wait does not count against the lookup's deadline.
      const auto asked = std::chrono::steady_clock::now();
      const auto budget = std::max(deadline, asked) - asked;
      reply = call("open", g_variant_new("(sxs)", wallet.c_str(), gint64{0}, kAppId), "(i)", asked + kOpenBound);
      deadline = std::chrono::steady_clock::now() + budget;
      if (!reply) {
        // Left unanswered for too long: as a dismissed prompt.
        if (timedOut) {
          failed = false;
          return outcome(Status::cancelled);
        }
        return outcome(Status::notFound);
      }
      gint handle = -1;
      g_variant_get(reply.get(), "(i)", &handle);
      if (handle < 0) return outcome(Status::cancelled);  // the user refused

      Lookup lookup = read(handle, folder, key);
      // Not waited for: the handle is only ours to give back.
      callAsync(bus, {daemon.name, daemon.path, kInterface}, "close", g_variant_new("(ibs)", handle, FALSE, kAppId),
                nullptr, -1, nullptr);
      return lookup;
    }

    Lookup read(gint handle, const std::string& folder, const std::string& key) {
      if (!boolean("hasFolder", g_variant_new("(iss)", handle, folder.c_str(), kAppId))) {
        return outcome(Status::notFound);
      }
      if (!boolean("hasEntry", g_variant_new("(isss)", handle, folder.c_str(), key.c_str(), kAppId))) {
        return outcome(Status::notFound);
      }
      glib::Variant reply =
          call("entryType", g_variant_new("(isss)", handle, folder.c_str(), key.c_str(), kAppId), "(i)");
      if (!reply) return outcome(Status::notFound);
      gint type = 0;
      g_variant_get(reply.get(), "(i)", &type);
      if (type != kPasswordEntry) return outcome(Status::noData);
      reply = call("readPassword", g_variant_new("(isss)", handle, folder.c_str(), key.c_str(), kAppId), "(s)");
      if (!reply) return outcome(Status::notFound);
      const gchar* password = nullptr;
      g_variant_get(reply.get(), "(&s)", &password);
      const size_t size = std::strlen(password);
      Lookup lookup;
      if (size == 0) {
        lookup.status = Status::noData;
      } else {
        lookup.secret = SecretBytes(password, size);
        lookup.status = Status::found;
      }
      // The reply's bytes hold the password too: cleared before they are freed.
      if (const gsize bytes = g_variant_get_size(reply.get())) {
        ::explicit_bzero(const_cast<void*>(g_variant_get_data(reply.get())), bytes);
      }
      return lookup;
    }
  };

  glib::Object<GDBusConnection> bus_;
};

}  // namespace

std::unique_ptr<Keychain> makeKWalletKeychain() { return std::make_unique<KWalletKeychain>(); }

}  // namespace mirelo::services::platform
