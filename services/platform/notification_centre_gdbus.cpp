// The notification centre on org.freedesktop.Notifications. One thread runs its own GMainContext
// and owns the session-bus connection: every table change, D-Bus call and signal runs there, so
// the callers' threads never wait on the notification server. The records themselves (ids, the
// Notify queue, deadlines) are notification_centre_records.cpp; this file is their D-Bus side.
#include "notification_centre_gdbus.h"

#include <gio/gio.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "bus_gdbus.h"
#include "notification_centre_records.h"

namespace mirelo::services::platform {
namespace {

constexpr const char* kName = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr guint kConnectTimeoutMs = 5000;
// A server may take its time (it may be started on demand); past this a call is an error. For a
// notify it bounds the time from being handed over to the answer; the Notify call itself is given
// no timeout of ours, so a late answer still brings its id (the bus ends the call when the server
// leaves).
constexpr int kCallTimeoutMs = 10000;

using CallDone = std::function<void(GVariant* reply, GError* error)>;

// A D-Bus error's own description, without GDBus's "GDBus.Error:name: " prefix.
std::string describe(GError* error) {
  GError* copy = g_error_copy(error);
  g_dbus_error_strip_remote_error(copy);
  std::string text = copy->message;
  g_error_free(copy);
  return text;
}

class GdbusNotificationCentre final : public NotificationCentre, private NotificationRecords::Link {
 public:
  explicit GdbusNotificationCentre(std::string address) : context_(g_main_context_new()), records_(*this) {
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

  // Requests made while one round trip is out share its answer: a burst of commands costs the bus
  // one pending reply, not one each.
  void settings(std::function<void(bool denied)> answer) override {
    post([this, answer = std::move(answer)]() mutable {
      settingsWaiting_.push_back(std::move(answer));
      if (settingsWaiting_.size() == 1) askSettings();
    });
  }

  void requestAuthorization(std::function<void(bool granted)> answer) override {
    post([this, answer = std::move(answer)]() mutable {
      authorizationWaiting_.push_back(std::move(answer));
      if (authorizationWaiting_.size() == 1) askCapabilities();
    });
  }

  void add(NotificationRequest request, Completion done) override {
    post([this, request = std::move(request), done = std::move(done)]() mutable {
      records_.add(std::move(request), std::move(done));
    });
  }

  void removePending(std::vector<std::string> identifiers) override {
    post([this, identifiers = std::move(identifiers)] {
      for (const auto& identifier : identifiers) records_.removePending(identifier);
    });
  }

  void removeDelivered(std::vector<std::string> identifiers) override {
    post([this, identifiers = std::move(identifiers)] {
      for (const auto& identifier : identifiers) records_.removeDelivered(identifier);
    });
  }

  void removeAllPending() override {
    post([this] { records_.removeAllPending(); });
  }

  void removeAllDelivered() override {
    post([this] { records_.removeAllDelivered(); });
  }

  void pending(Requests answer) override {
    post([this, answer = std::move(answer)] { answer(records_.pending()); });
  }

  void delivered(Requests answer) override {
    post([this, answer = std::move(answer)] { answer(records_.delivered()); });
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
  void askSettings() {
    const auto answer = [this](bool denied) {
      auto waiting = std::move(settingsWaiting_);
      settingsWaiting_.clear();
      for (auto& done : waiting) done(denied);
    };
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
  }

  void askCapabilities() {
    serverCall("GetCapabilities", nullptr, "(as)", [this](GVariant* reply, GError*) {
      if (reply) {
        const gchar** capabilities = nullptr;
        g_variant_get(reply, "(^a&s)", &capabilities);
        bool actions = false;
        for (const gchar** c = capabilities; c && *c; ++c) actions = actions || g_str_equal(*c, "actions");
        g_free(capabilities);
        actions_ = actions;
      }
      auto waiting = std::move(authorizationWaiting_);
      authorizationWaiting_.clear();
      for (auto& answer : waiting) answer(reply != nullptr);
    });
  }

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
                         static_cast<GdbusNotificationCentre*>(data)->records_.forgetAllShown();
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
            GVariant* parameters, const char* replyType, CallDone done, int timeoutMs = kCallTimeoutMs) {
    if (!connection_ || g_dbus_connection_is_closed(connection_)) {
      if (parameters) g_variant_unref(g_variant_ref_sink(parameters));
      GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_CLOSED, "No session bus");
      done(nullptr, error);
      g_error_free(error);
      return;
    }
    g_dbus_connection_call(
        connection_, destination, path, interface, method, parameters, G_VARIANT_TYPE(replyType),
        G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr,
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

  // NotificationRecords::Link
  void sendNotify(const std::string& identifier, uint32_t replacesId) override {
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
    GVariant* parameters = g_variant_new("(susssasa{sv}i)", "Mirelo", replacesId, "", "Mirelo",
                                         "你收到一个新消息", &actions, &hints, -1);
    call(
        kName, kPath, kInterface, "Notify", parameters, "(u)",
        [this, identifier](GVariant* reply, GError* error) {
          if (!reply) return records_.notified(identifier, std::nullopt, describe(error));
          uint32_t id = 0;
          g_variant_get(reply, "(u)", &id);
          if (id) everShown_.store(true);
          records_.notified(identifier, id, std::nullopt);
        },
        G_MAXINT);
  }

  void close(uint32_t id) override {
    if (!connection_ || g_dbus_connection_is_closed(connection_)) return;
    // No callback: sent without expecting a reply, so nothing waits on the server.
    g_dbus_connection_call(connection_, kName, kPath, kInterface, "CloseNotification", g_variant_new("(u)", id),
                           nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
  }

  struct Deadline {
    GdbusNotificationCentre* self;
    std::string identifier;
    uint64_t request;
    GSource* source;
  };

  uintptr_t armDeadline(const std::string& identifier, uint64_t request) override {
    GSource* source = g_timeout_source_new(kCallTimeoutMs);
    g_source_set_callback(
        source,
        [](gpointer data) {
          auto* deadline = static_cast<Deadline*>(data);
          GSource* own = deadline->source;
          deadline->self->records_.expired(deadline->identifier, deadline->request);
          g_source_unref(own);  // ours; the context keeps its own until this returns
          return G_SOURCE_REMOVE;
        },
        new Deadline{this, identifier, request, source}, [](gpointer data) { delete static_cast<Deadline*>(data); });
    g_source_attach(source, context_);
    return reinterpret_cast<uintptr_t>(source);
  }

  void cancelDeadline(uintptr_t deadline) override {
    GSource* source = reinterpret_cast<GSource*>(deadline);
    g_source_destroy(source);
    g_source_unref(source);
  }

  void onActionInvoked(GVariant* parameters) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) return;
    uint32_t id = 0;
    const gchar* action = nullptr;
    g_variant_get(parameters, "(u&s)", &id, &action);
    if (!g_str_equal(action, "default")) return;
    const auto ours = records_.shown(id);
    if (!ours || !activated_) return;  // another program's notification
    activated_(*ours);
  }

  void onClosed(GVariant* parameters) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) return;
    uint32_t id = 0, reason = 0;
    g_variant_get(parameters, "(uu)", &id, &reason);
    records_.closed(id);
  }

  // The server left the bus or another took its name: the ids it gave mean nothing any more.
  void onOwnerChanged(GVariant* parameters) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sss)"))) return;
    const gchar *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    g_variant_get(parameters, "(&s&s&s)", &name, &oldOwner, &newOwner);
    if (g_str_equal(name, kName) && *oldOwner) records_.forgetAllShown();
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
  std::vector<std::function<void(bool)>> settingsWaiting_;
  std::vector<std::function<void(bool)>> authorizationWaiting_;
  NotificationRecords records_;
};

}  // namespace

std::unique_ptr<NotificationCentre> makeGdbusNotificationCentre() {
  return std::make_unique<GdbusNotificationCentre>(sessionBusAddress());
}

}  // namespace mirelo::services::platform
