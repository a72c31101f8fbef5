#include "main_queue.h"

#include <glib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

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
  std::condition_variable drained;
  std::deque<Item> items;
  size_t bytes = 0;
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
      std::lock_guard lock(mutex);
      bytes -= item.bytes;
      drained.notify_all();
    }
  }
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

void MainQueue::push(std::function<void()> work, size_t bytes) {
  bool wake;
  {
    std::unique_lock lock(impl_->mutex);
    // Wait while the queue is over its bound, but never refuse the only item: one request may be
    // as large as the line limit allows.
    impl_->drained.wait(lock, [&] { return impl_->bytes == 0 || impl_->bytes + bytes <= impl_->limit; });
    wake = impl_->items.empty();
    impl_->items.push_back(Item{std::move(work), bytes});
    impl_->bytes += bytes;
    impl_->outstanding.fetch_add(1, std::memory_order_relaxed);
  }
  if (wake) g_main_context_wakeup(nullptr);
}

bool MainQueue::idle() const { return impl_->outstanding.load(std::memory_order_acquire) == 0; }

}  // namespace mirelo::services
