#pragma once

#include <cstddef>
#include <functional>

namespace mirelo::services {

// The hand-off from the request reader to the main thread: a FIFO drained by one GSource on the
// default GLib main context. It is bounded by the bytes of the work waiting in it: an item that
// would take it past `limit` is held back until the main thread has caught up, and the pusher
// reads nothing more meanwhile, so a host that writes faster than commands run fills the pipe
// instead of this process's memory. Nothing is ever dropped, and no pusher ever blocks.
class MainQueue {
 public:
  explicit MainQueue(size_t limit);
  ~MainQueue();
  MainQueue(const MainQueue&) = delete;
  MainQueue& operator=(const MainQueue&) = delete;

  // Attaches the draining source to the default main context. Call on the main thread.
  void attach();

  // Any thread; never blocks. `bytes` is the weight the item counts for against the limit. False
  // when there is no room for it: the item is held and joins the queue, in its turn, once there
  // is; `resume` then runs on the main thread. Push nothing more until then.
  bool push(std::function<void()> work, size_t bytes, std::function<void()> resume = nullptr);

  // Whether every item pushed so far has run to its end: work done now on another thread comes
  // after all of it, as it would from the queue. Meaningful to the one thread that pushes.
  bool idle() const;

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace mirelo::services
