// The notification centre's thread. It runs its own GMainContext and owns the session-bus
// connection: every table change, D-Bus call and signal runs there, so the callers' threads never
// wait on the notification server. Operations are posted to it in a FIFO. The records (ids, the
// Notify queue, deadlines) are notification_centre_records.cpp, the D-Bus interface
// fdo_notifications.cpp; this file joins them. Costs: one idle source per burst of operations.
#include "notification_centre_gdbus.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "bus_gdbus.h"
#include "fdo_notifications.h"
#include "glib_handle.h"
#include "notification_centre_records.h"

namespace mirelo::services::platform {
namespace {

constexpr int kConnectTimeoutMs = 5000;  // a bus that never answers must not hold every notification
// For a post: from being handed over to the answer. The Notify call itself is given no timeout of
// ours, so a late answer still brings its id.
constexpr guint kPostTimeoutMs = 10000;

// A one-shot latch for the thread that waits at the process end.
struct Latch {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  void open() {
    std::lock_guard lock(mutex);
    done = true;
    cv.notify_all();
  }
};

class GdbusNotificationCentre final : public NotificationCentre, private NotificationRecords::Link {
 public:
  explicit GdbusNotificationCentre(std::string address)
      : context_(g_main_context_new()), loop_(g_main_loop_new(context_.get(), FALSE)), records_(*this) {
    thread_ = std::thread([this, address = std::move(address)] {
      g_main_context_push_thread_default(context_.get());
      connectBusAsync(address, kConnectTimeoutMs,
                      [this](glib::Object<GDBusConnection> bus) { connected(std::move(bus)); });
      g_main_loop_run(loop_.get());
      g_main_context_pop_thread_default(context_.get());
    });
  }

  ~GdbusNotificationCentre() override {
    attachIdle([](gpointer data) {
      auto* self = static_cast<GdbusNotificationCentre*>(data);
      self->server_.reset();  // its subscriptions end on the thread that made them
      g_main_loop_quit(self->loop_.get());
      return G_SOURCE_REMOVE;
    });
    thread_.join();
  }

  // Requests made while one round trip is out share its answer: a burst of commands costs the bus
  // one pending reply, not one each.
  void status(std::function<void(bool denied)> answer) override {
    enqueue([this, answer = std::move(answer)]() mutable {
      statusWaiting_.push_back(std::move(answer));
      if (statusWaiting_.size() > 1) return;
      server_->reachable([this](bool reachable) {
        for (auto& waiting : std::exchange(statusWaiting_, {})) waiting(!reachable);
      });
    });
  }

  void post(NotificationRequest request, Admit admit, PostDone done) override {
    enqueue([this, posting = Posting{std::move(request), std::move(admit), std::move(done)}]() mutable {
      postsWaiting_.push_back(std::move(posting));
      if (postsWaiting_.size() > 1) return;
      server_->capabilities([this](std::optional<bool> actions) {
        if (actions) actions_ = *actions;
        for (auto& waiting : std::exchange(postsWaiting_, {})) handOver(std::move(waiting), actions.has_value());
      });
    });
  }

  void withdraw(std::vector<std::string> identifiers) override {
    enqueue([this, identifiers = std::move(identifiers)] {
      for (const auto& identifier : identifiers) records_.withdraw(identifier);
    });
  }

  void withdrawAll() override {
    enqueue([this] { records_.withdrawAll(); });
  }

  void list(Listing answer) override {
    enqueue([this, answer = std::move(answer)] { answer(records_.list()); });
  }

  void onActivated(Activation activated) override {
    enqueue([this, activated = std::move(activated)]() mutable { activated_ = std::move(activated); });
  }

  void closeShownBeforeExit(std::chrono::milliseconds bound) override {
    enqueue([this] { records_.closeAllShown(); });
    if (!everShown_.load()) return;  // nothing was ever shown: nothing to close
    auto latch = std::make_shared<Latch>();
    enqueue([this, latch] { server_->flush([latch] { latch->open(); }); });
    std::unique_lock lock(latch->mutex);
    latch->cv.wait_for(lock, bound, [&] { return latch->done; });
  }

 private:
  struct Posting {
    NotificationRequest request;
    Admit admit;
    PostDone done;
  };

  void handOver(Posting posting, bool granted) {
    if (!granted) return posting.done({Posted::Outcome::denied, {}});
    if (!posting.admit()) return posting.done({Posted::Outcome::declined, {}});
    records_.add(std::move(posting.request), [done = std::move(posting.done)](std::optional<std::string> error) {
      if (error) return done({Posted::Outcome::failed, std::move(*error)});
      done({Posted::Outcome::handedOver, {}});
    });
  }

  // Work for the notification thread, run in the order posted. Nothing runs before the
  // connection attempt has finished.
  void enqueue(std::function<void()> work) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(work));
      if (scheduled_) return;
      scheduled_ = true;
    }
    attachIdle([](gpointer data) {
      static_cast<GdbusNotificationCentre*>(data)->drain();
      return G_SOURCE_REMOVE;
    });
  }

  void attachIdle(GSourceFunc function) {
    const glib::Source source(g_idle_source_new());
    g_source_set_callback(source.get(), function, this, nullptr);
    g_source_attach(source.get(), context_.get());
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

  void connected(glib::Object<GDBusConnection> bus) {
    server_ =
        std::make_unique<FdoNotifications>(std::move(bus), FdoNotifications::Signals{
                                                               .activated = [this](uint32_t id) { activatedBy(id); },
                                                               .closed = [this](uint32_t id) { records_.closed(id); },
                                                               .serverGone = [this] { records_.forgetAllShown(); },
                                                           });
    {
      std::lock_guard lock(mutex_);
      connecting_ = false;
    }
    drain();
  }

  void activatedBy(uint32_t id) {
    const auto ours = records_.shown(id);
    if (!ours || !activated_) return;  // another program's notification
    activated_(*ours);
    // Clicked is done with; closed in turn after what was asked before the click.
    enqueue([this, identifier = ours->identifier] { records_.closeShown(identifier); });
  }

  // NotificationRecords::Link
  void sendNotify(const std::string& identifier, uint32_t replacesId) override {
    server_->notify(replacesId, actions_, [this, identifier](std::optional<uint32_t> id, std::string error) {
      if (!id) return records_.notified(identifier, std::nullopt, std::move(error));
      if (*id) everShown_.store(true);
      records_.notified(identifier, id, std::nullopt);
    });
  }

  void close(uint32_t id) override { server_->close(id); }

  struct Deadline {
    GdbusNotificationCentre* self;
    std::string identifier;
    uint64_t request;
    GSource* source;
  };

  uintptr_t armDeadline(const std::string& identifier, uint64_t request) override {
    GSource* source = g_timeout_source_new(kPostTimeoutMs);
    g_source_set_callback(
        source,
        [](gpointer data) {
          auto* deadline = static_cast<Deadline*>(data);
          const glib::Source own(deadline->source);  // ours; the context keeps its own until this returns
          deadline->self->records_.expired(deadline->identifier, deadline->request);
          return G_SOURCE_REMOVE;
        },
        new Deadline{this, identifier, request, source}, [](gpointer data) { delete static_cast<Deadline*>(data); });
    g_source_attach(source, context_.get());
    return reinterpret_cast<uintptr_t>(source);
  }

  void cancelDeadline(uintptr_t deadline) override {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the token handed out above is the source's address
    const glib::Source source(reinterpret_cast<GSource*>(deadline));
    g_source_destroy(source.get());
  }

  const glib::Context context_;
  const glib::Loop loop_;
  std::thread thread_;

  std::mutex mutex_;  // guards the three below
  std::deque<std::function<void()>> queue_;
  bool scheduled_ = false;
  bool connecting_ = true;  // until the first connection attempt has finished

  std::atomic<bool> everShown_{false};

  // The notification thread's own.
  std::unique_ptr<FdoNotifications> server_;
  Activation activated_;
  bool actions_ = false;
  std::vector<std::function<void(bool)>> statusWaiting_;
  std::vector<Posting> postsWaiting_;
  NotificationRecords records_;
};

}  // namespace

std::unique_ptr<NotificationCentre> makeGdbusNotificationCentre() {
  return std::make_unique<GdbusNotificationCentre>(sessionBusAddress());
}

}  // namespace mirelo::services::platform
