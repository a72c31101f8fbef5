// The notification centre on org.freedesktop.Notifications. One thread runs its own GMainContext
// and owns the session-bus connection: every table change, D-Bus call and signal runs there, so
// the callers' threads never wait on the notification server.
#include "notification_centre_gdbus.h"

#include <gio/gio.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "bus_gdbus.h"

namespace mirelo::services::platform {
namespace {

constexpr const char* kName = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr guint kConnectTimeoutMs = 5000;
// A server may take its time (it may be started on demand); past this a call is an error.
constexpr int kCallTimeoutMs = 10000;
// Servers that never send NotificationClosed must not make the table grow: past this many shown
// notifications the oldest is closed.
constexpr size_t kMaxShown = 1024;

using CallDone = std::function<void(GVariant* reply, GError* error)>;

// A D-Bus error's own description, without GDBus's "GDBus.Error:name: " prefix.
std::string describe(GError* error) {
  GError* copy = g_error_copy(error);
  g_dbus_error_strip_remote_error(copy);
  std::string text = copy->message;
  g_error_free(copy);
  return text;
}

class GdbusNotificationCentre final : public NotificationCentre {
 public:
  explicit GdbusNotificationCentre(std::string address) : context_(g_main_context_new()) {
    loop_ = g_main_loop_new(context_, FALSE);
    thread_ = std::thread([this, address = std::move(address)] {
      g_main_context_push_thread_default(context_);
      connect(address);
      g_main_loop_run(loop_);
      g_main_context_pop_thread_default(context_);
    });
  }

  ~GdbusNotificationCentre() override {
    attachIdle(
        [](gpointer data) {
          g_main_loop_quit(static_cast<GdbusNotificationCentre*>(data)->loop_);
          return G_SOURCE_REMOVE;
        },
        this);
    thread_.join();
    for (guint id : subscriptions_) g_dbus_connection_signal_unsubscribe(connection_, id);
    if (connection_) g_object_unref(connection_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
  }

  void setDelegate(Activation activated) override {
    post([this, activated = std::move(activated)]() mutable { activated_ = std::move(activated); });
  }

  void settings(std::function<void(bool denied)> answer) override {
    post([this, answer = std::move(answer)] {
      if (!connection_) return answer(true);
      // A server that runs, or one the bus starts on demand, may show notifications.
      busCall("NameHasOwner", g_variant_new("(s)", kName), "(b)", [this, answer](GVariant* reply, GError*) {
        gboolean owned = FALSE;
        if (reply) g_variant_get(reply, "(b)", &owned);
        if (owned) return answer(false);
        busCall("ListActivatableNames", nullptr, "(as)", [answer](GVariant* reply, GError*) {
          bool activatable = false;
          if (reply) {
            const gchar** names = nullptr;
            g_variant_get(reply, "(^a&s)", &names);
            for (const gchar** name = names; name && *name; ++name) activatable = activatable || g_str_equal(*name, kName);
            g_free(names);
          }
          answer(!activatable);
        });
      });
    });
  }

  void requestAuthorization(std::function<void(bool granted)> answer) override {
    post([this, answer = std::move(answer)] {
      serverCall("GetCapabilities", nullptr, "(as)", [this, answer](GVariant* reply, GError*) {
        if (!reply) return answer(false);
        const gchar** capabilities = nullptr;
        g_variant_get(reply, "(^a&s)", &capabilities);
        bool actions = false;
        for (const gchar** c = capabilities; c && *c; ++c) actions = actions || g_str_equal(*c, "actions");
        g_free(capabilities);
        actions_ = actions;
        answer(true);
      });
    });
  }

  void add(NotificationRequest request, Completion done) override {
    post([this, request = std::move(request), done = std::move(done)]() mutable {
      Entry& entry = entries_[request.identifier];
      if (entry.sending) {
        // The server's id for this identifier is not known yet: the next Notify replaces it once
        // it is. Requests that pile up meanwhile share that one Notify.
        entry.waiting.push_back(std::move(done));
        entry.room = std::move(request.room);
        entry.messageId = std::move(request.messageId);
        return;
      }
      entry.room = std::move(request.room);
      entry.messageId = std::move(request.messageId);
      std::vector<Completion> completions;
      completions.push_back(std::move(done));
      send(request.identifier, entry, std::move(completions));
    });
  }

  void removePending(std::vector<std::string> identifiers) override {
    post([this, identifiers = std::move(identifiers)] {
      for (const auto& identifier : identifiers) {
        if (auto it = entries_.find(identifier); it != entries_.end()) dropPending(it);
      }
    });
  }

  void removeDelivered(std::vector<std::string> identifiers) override {
    post([this, identifiers = std::move(identifiers)] {
      for (const auto& identifier : identifiers) {
        if (auto it = entries_.find(identifier); it != entries_.end()) dropDelivered(it, true);
      }
    });
  }

  void removeAllPending() override {
    post([this] {
      for (auto it = entries_.begin(); it != entries_.end();) dropPending(it++);
    });
  }

  void removeAllDelivered() override {
    post([this] {
      for (auto it = entries_.begin(); it != entries_.end();) dropDelivered(it++, true);
    });
  }

  void pending(Requests answer) override {
    post([this, answer = std::move(answer)] {
      std::vector<NotificationRequest> list;
      for (const auto& [identifier, entry] : entries_) {
        if (entry.sending || !entry.waiting.empty()) list.push_back({identifier, entry.room, entry.messageId});
      }
      answer(std::move(list));
    });
  }

  void delivered(Requests answer) override {
    post([this, answer = std::move(answer)] {
      std::vector<NotificationRequest> list;
      for (const auto& [identifier, entry] : entries_) {
        if (entry.shownId) list.push_back({identifier, entry.room, entry.messageId});
      }
      answer(std::move(list));
    });
  }

  void flush(std::chrono::milliseconds bound) override {
    if (!everShown_.load()) return;  // nothing was ever shown: nothing to close
    struct Done {
      std::mutex mutex;
      std::condition_variable cv;
      bool done = false;
      void signal() {
        std::lock_guard lock(mutex);
        done = true;
        cv.notify_all();
      }
    };
    auto done = std::make_shared<Done>();
    post([this, done] {
      if (!connection_) return done->signal();
      g_dbus_connection_flush(
          connection_, nullptr,
          [](GObject*, GAsyncResult*, gpointer data) {
            std::unique_ptr<std::shared_ptr<Done>> done(static_cast<std::shared_ptr<Done>*>(data));
            (*done)->signal();
          },
          new std::shared_ptr<Done>(done));
    });
    std::unique_lock lock(done->mutex);
    done->cv.wait_for(lock, bound, [&] { return done->done; });
  }

 private:
  struct Entry {
    std::string room;
    std::string messageId;
    uint32_t shownId = 0;  // the server's id while shown
    uint64_t shownOrder = 0;
    bool sending = false;  // a Notify is out
    bool dropWhenAnswered = false;  // removed while pending: close whatever the answer shows
    std::vector<Completion> sendingDone;
    std::vector<Completion> waiting;  // added while a Notify was out
    bool idle() const { return !shownId && !sending && waiting.empty(); }
  };
  using Entries = std::map<std::string, Entry>;

  // Work for the notification thread, run in the order posted. Nothing runs before the
  // connection attempt has finished.
  void post(std::function<void()> work) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(work));
      if (scheduled_) return;
      scheduled_ = true;
    }
    attachIdle(
        [](gpointer data) {
          static_cast<GdbusNotificationCentre*>(data)->drain();
          return G_SOURCE_REMOVE;
        },
        this);
  }

  void attachIdle(GSourceFunc function, gpointer data) {
    GSource* source = g_idle_source_new();
    g_source_set_callback(source, function, data, nullptr);
    g_source_attach(source, context_);
    g_source_unref(source);
  }

  void drain() {
    for (;;) {
      std::function<void()> work;
      {
        std::lock_guard lock(mutex_);
        if (queue_.empty() || connecting_) {
          scheduled_ = false;
          return;
        }
        work = std::move(queue_.front());
        queue_.pop_front();
      }
      work();
    }
  }

  void connect(const std::string& address) {
    if (address.empty()) return connected(nullptr);
    GCancellable* cancellable = g_cancellable_new();
    // A bus that accepts the socket but never answers must not hold every notification forever.
    GSource* timeout = g_timeout_source_new(kConnectTimeoutMs);
    g_source_set_callback(
        timeout,
        [](gpointer data) {
          g_cancellable_cancel(static_cast<GCancellable*>(data));
          return G_SOURCE_REMOVE;
        },
        g_object_ref(cancellable), g_object_unref);
    g_source_attach(timeout, context_);
    struct Attempt {
      GdbusNotificationCentre* self;
      GSource* timeout;
      GCancellable* cancellable;
    };
    g_dbus_connection_new_for_address(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, cancellable,
        [](GObject*, GAsyncResult* result, gpointer data) {
          std::unique_ptr<Attempt> attempt(static_cast<Attempt*>(data));
          g_source_destroy(attempt->timeout);
          g_source_unref(attempt->timeout);
          g_object_unref(attempt->cancellable);
          attempt->self->connected(g_dbus_connection_new_for_address_finish(result, nullptr));
        },
        new Attempt{this, timeout, cancellable});
  }

  void connected(GDBusConnection* connection) {
    connection_ = connection;
    if (connection_) {
      g_dbus_connection_set_exit_on_close(connection_, FALSE);
      subscribe(kName, kInterface, "ActionInvoked", kPath, nullptr, &GdbusNotificationCentre::onActionInvoked);
      subscribe(kName, kInterface, "NotificationClosed", kPath, nullptr, &GdbusNotificationCentre::onClosed);
      subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus", kName,
                &GdbusNotificationCentre::onOwnerChanged);
      g_signal_connect(connection_, "closed",
                       G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer data) {
                         static_cast<GdbusNotificationCentre*>(data)->forgetAllShown();
                       }),
                       this);
    }
    {
      std::lock_guard lock(mutex_);
      connecting_ = false;
    }
    drain();
  }

  using SignalHandler = void (GdbusNotificationCentre::*)(GVariant*);
  struct Subscription {
    GdbusNotificationCentre* self;
    SignalHandler handler;
  };

  void subscribe(const char* sender, const char* interface, const char* member, const char* path, const char* arg0,
                 SignalHandler handler) {
    subscriptions_.push_back(g_dbus_connection_signal_subscribe(
        connection_, sender, interface, member, path, arg0, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
           gpointer data) {
          auto* subscription = static_cast<Subscription*>(data);
          (subscription->self->*subscription->handler)(parameters);
        },
        new Subscription{this, handler}, [](gpointer data) { delete static_cast<Subscription*>(data); }));
  }

  void call(const char* destination, const char* path, const char* interface, const char* method,
            GVariant* parameters, const char* replyType, CallDone done) {
    if (!connection_ || g_dbus_connection_is_closed(connection_)) {
      if (parameters) g_variant_unref(g_variant_ref_sink(parameters));
      GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_CLOSED, "No session bus");
      done(nullptr, error);
      g_error_free(error);
      return;
    }
    g_dbus_connection_call(
        connection_, destination, path, interface, method, parameters, G_VARIANT_TYPE(replyType),
        G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          std::unique_ptr<CallDone> done(static_cast<CallDone*>(data));
          GError* error = nullptr;
          GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
          (*done)(reply, error);
          if (reply) g_variant_unref(reply);
          if (error) g_error_free(error);
        },
        new CallDone(std::move(done)));
  }

  void serverCall(const char* method, GVariant* parameters, const char* replyType, CallDone done) {
    call(kName, kPath, kInterface, method, parameters, replyType, std::move(done));
  }

  void busCall(const char* method, GVariant* parameters, const char* replyType, CallDone done) {
    call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method, parameters, replyType,
         std::move(done));
  }

  void send(const std::string& identifier, Entry& entry, std::vector<Completion> completions) {
    entry.sending = true;
    entry.dropWhenAnswered = false;
    entry.sendingDone = std::move(completions);
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    if (actions_) {
      g_variant_builder_add(&actions, "s", "default");
      g_variant_builder_add(&actions, "s", "打开");
    }
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "suppress-sound", g_variant_new_boolean(TRUE));
    g_variant_builder_add(&hints, "{sv}", "category", g_variant_new_string("im.received"));
    GVariant* parameters = g_variant_new("(susssasa{sv}i)", "Mirelo", entry.shownId, "", "Mirelo",
                                         "你收到一个新消息", &actions, &hints, -1);
    serverCall("Notify", parameters, "(u)", [this, identifier](GVariant* reply, GError* error) {
      notified(identifier, reply, error);
    });
  }

  void notified(const std::string& identifier, GVariant* reply, GError* error) {
    auto it = entries_.find(identifier);
    if (it == entries_.end()) return;  // cannot happen: an entry with a Notify out is kept
    Entry& entry = it->second;
    std::vector<Completion> done = std::move(entry.sendingDone);
    entry.sending = false;
    std::optional<std::string> failure;
    if (reply) {
      uint32_t id = 0;
      g_variant_get(reply, "(u)", &id);
      if (entry.shownId && entry.shownId != id) dropDelivered(it, false);  // not replaced: a new one
      if (entry.dropWhenAnswered || id == 0) {
        if (id) close(id);
        forgetShown(entry);
      } else {
        show(identifier, entry, id);
      }
    } else {
      failure = describe(error);
    }
    if (!entry.waiting.empty()) {
      send(identifier, entry, std::move(entry.waiting));
      entry.waiting.clear();
    }
    for (auto& completion : done) completion(failure);
    if (auto again = entries_.find(identifier); again != entries_.end() && again->second.idle()) entries_.erase(again);
  }

  void show(const std::string& identifier, Entry& entry, uint32_t id) {
    // A server that reuses an id has closed the notification that had it.
    if (auto owner = shown_.find(id); owner != shown_.end() && owner->second != identifier) {
      if (auto other = entries_.find(owner->second); other != entries_.end()) forgetShown(other->second);
    }
    if (entry.shownId && entry.shownId != id) shown_.erase(entry.shownId);
    entry.shownId = id;
    entry.shownOrder = ++shownSequence_;
    shown_[id] = identifier;
    everShown_.store(true);
    if (shown_.size() > kMaxShown) {
      auto oldest = entries_.end();
      for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->second.shownId && (oldest == entries_.end() || it->second.shownOrder < oldest->second.shownOrder)) {
          oldest = it;
        }
      }
      if (oldest != entries_.end()) dropDelivered(oldest, true);
    }
  }

  void close(uint32_t id) {
    if (!connection_ || g_dbus_connection_is_closed(connection_)) return;
    // No callback: sent without expecting a reply, so nothing waits on the server.
    g_dbus_connection_call(connection_, kName, kPath, kInterface, "CloseNotification", g_variant_new("(u)", id),
                           nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
  }

  void forgetShown(Entry& entry) {
    if (entry.shownId) shown_.erase(entry.shownId);
    entry.shownId = 0;
  }

  // Closes the shown notification of an entry; with `eraseIdle`, the entry goes when nothing else
  // holds it.
  void dropDelivered(Entries::iterator it, bool eraseIdle) {
    Entry& entry = it->second;
    if (entry.shownId) close(entry.shownId);
    forgetShown(entry);
    if (eraseIdle && entry.idle()) entries_.erase(it);
  }

  void dropPending(Entries::iterator it) {
    Entry& entry = it->second;
    if (entry.sending) entry.dropWhenAnswered = true;
    // Handed over but never sent: taken away before it was shown.
    std::vector<Completion> waiting = std::move(entry.waiting);
    entry.waiting.clear();
    if (entry.idle()) entries_.erase(it);
    for (auto& completion : waiting) completion(std::nullopt);
  }

  void forgetAllShown() {
    for (auto it = entries_.begin(); it != entries_.end();) {
      forgetShown(it->second);
      if (it->second.idle()) {
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
    shown_.clear();
  }

  void onActionInvoked(GVariant* parameters) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) return;
    uint32_t id = 0;
    const gchar* action = nullptr;
    g_variant_get(parameters, "(u&s)", &id, &action);
    if (!g_str_equal(action, "default")) return;
    auto owner = shown_.find(id);
    if (owner == shown_.end()) return;  // another program's notification
    const auto entry = entries_.find(owner->second);
    if (entry == entries_.end() || !activated_) return;
    activated_({entry->first, entry->second.room, entry->second.messageId});
  }

  void onClosed(GVariant* parameters) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) return;
    uint32_t id = 0, reason = 0;
    g_variant_get(parameters, "(uu)", &id, &reason);
    auto owner = shown_.find(id);
    if (owner == shown_.end()) return;
    auto it = entries_.find(owner->second);
    shown_.erase(owner);
    if (it == entries_.end()) return;
    it->second.shownId = 0;
    if (it->second.idle()) entries_.erase(it);
  }

  // The server left the bus or another took its name: the ids it gave mean nothing any more.
  void onOwnerChanged(GVariant* parameters) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sss)"))) return;
    const gchar *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    g_variant_get(parameters, "(&s&s&s)", &name, &oldOwner, &newOwner);
    if (g_str_equal(name, kName) && *oldOwner) forgetAllShown();
  }

  GMainContext* context_;
  GMainLoop* loop_ = nullptr;
  std::thread thread_;

  std::mutex mutex_;  // guards the three below
  std::deque<std::function<void()>> queue_;
  bool scheduled_ = false;
  bool connecting_ = true;  // until the first connection attempt has finished

  std::atomic<bool> everShown_{false};

  // The notification thread's own.
  GDBusConnection* connection_ = nullptr;
  std::vector<guint> subscriptions_;
  Activation activated_;
  bool actions_ = false;
  Entries entries_;
  std::unordered_map<uint32_t, std::string> shown_;  // the server's id → identifier
  uint64_t shownSequence_ = 0;
};

}  // namespace

std::unique_ptr<NotificationCentre> makeGdbusNotificationCentre() {
  return std::make_unique<GdbusNotificationCentre>(sessionBusAddress());
}

}  // namespace mirelo::services::platform
