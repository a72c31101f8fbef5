#include "main_queue.h"

#include <glib.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>

namespace mirelo::services {
namespace {

struct Item {
  std::function<void()> work;
  size_t bytes;
};

}  // namespace

struct MainQueue::Impl {
  struct Source {
    GSource base;
    Impl* queue;
  };

  size_t limit;
  std::mutex mutex;
  std::deque<Item> items;
  size_t bytes = 0;
  std::optional<Item> held;  // waiting for room, and `resume` to run when it has joined
  std::function<void()> resume;
  std::atomic<size_t> outstanding{0};  // pushed and not yet run to their end
  Source* source = nullptr;

  bool ready() {
    std::lock_guard lock(mutex);
    return !items.empty();
  }

  static gboolean prepare(GSource* source, gint* timeout) {
    *timeout = -1;
    return reinterpret_cast<Source*>(source)->queue->ready();
  }

  static gboolean check(GSource* source) { return reinterpret_cast<Source*>(source)->queue->ready(); }

  static gboolean dispatch(GSource* source, GSourceFunc, gpointer) {
    reinterpret_cast<Source*>(source)->queue->drain();
    return G_SOURCE_CONTINUE;
  }

  // Runs what is queued now, in order; items pushed meanwhile wait for the next dispatch so that
  // other sources of the loop (bus signals, X events) are not starved.
  void drain() {
    std::deque<Item> batch;
    {
      std::lock_guard lock(mutex);
      batch.swap(items);
    }
    for (auto& item : batch) {
      item.work();
      item.work = nullptr;  // release the request's memory before accounting for it
      outstanding.fetch_sub(1, std::memory_order_release);
      std::function<void()> resumed;
      {
        std::lock_guard lock(mutex);
        bytes -= item.bytes;
        if (held && fits(held->bytes)) {  // runs in the next dispatch, after this batch
          bytes += held->bytes;
          items.push_back(std::move(*held));
          held.reset();
          resumed = std::move(resume);
        }
      }
      if (resumed) resumed();
    }
  }

  // Never refuses the only item: one request may be as large as the line limit allows.
  bool fits(size_t more) const { return bytes == 0 || bytes + more <= limit; }
};

MainQueue::MainQueue(size_t limit) : impl_(new Impl) { impl_->limit = limit; }

MainQueue::~MainQueue() {
  if (impl_->source) {
    g_source_destroy(&impl_->source->base);
    g_source_unref(&impl_->source->base);
  }
  delete impl_;
}

void MainQueue::attach() {
  static GSourceFuncs funcs = {Impl::prepare, Impl::check, Impl::dispatch, nullptr, nullptr, nullptr};
  GSource* source = g_source_new(&funcs, sizeof(Impl::Source));
  reinterpret_cast<Impl::Source*>(source)->queue = impl_;
  g_source_set_name(source, "main queue");
  g_source_attach(source, nullptr);
  impl_->source = reinterpret_cast<Impl::Source*>(source);
}

bool MainQueue::push(std::function<void()> work, size_t bytes, std::function<void()> resume) {
  bool wake;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->outstanding.fetch_add(1, std::memory_order_relaxed);
    if (!impl_->fits(bytes)) {
      impl_->held = Item{std::move(work), bytes};
      impl_->resume = std::move(resume);
      return false;
    }
    wake = impl_->items.empty();
    impl_->items.push_back(Item{std::move(work), bytes});
    impl_->bytes += bytes;
  }
  if (wake) g_main_context_wakeup(nullptr);
  return true;
}

bool MainQueue::idle() const { return impl_->outstanding.load(std::memory_order_acquire) == 0; }

}  // namespace mirelo::services
