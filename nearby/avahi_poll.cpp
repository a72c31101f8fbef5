#include "avahi_poll.h"

#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <set>

namespace asio = boost::asio;

// Avahi's opaque handle types, defined here.
struct AvahiWatch {
  nearby::AsioAvahiPoll::Impl* owner;
  asio::posix::stream_descriptor descriptor;
  int fd;
  AvahiWatchEvent events = AvahiWatchEvent(0);
  AvahiWatchEvent happened = AvahiWatchEvent(0);
  AvahiWatchCallback callback;
  void* userdata;
  bool alive = true;
  unsigned generation = 0;  // bumped on every update, so stale completions are ignored
  bool readArmed = false;
  bool writeArmed = false;
  bool dispatchPosted = false;

  AvahiWatch(nearby::AsioAvahiPoll::Impl* o, asio::io_context& context, int f, AvahiWatchCallback cb, void* data)
      : owner(o), descriptor(context, ::dup(f)), fd(f), callback(cb), userdata(data) {}
};

struct AvahiTimeout {
  nearby::AsioAvahiPoll::Impl* owner;
  asio::steady_timer timer;
  AvahiTimeoutCallback callback;
  void* userdata;
  bool alive = true;
  unsigned generation = 0;

  AvahiTimeout(nearby::AsioAvahiPoll::Impl* o, asio::io_context& context, AvahiTimeoutCallback cb, void* data)
      : owner(o), timer(context), callback(cb), userdata(data) {}
};

namespace nearby {

struct AsioAvahiPoll::Impl {
  asio::io_context& context;
  std::set<AvahiWatch*> watches;  // owned here
  std::set<AvahiTimeout*> timeouts;

  explicit Impl(asio::io_context& c) : context(c) {}

  ~Impl() {
    for (AvahiWatch* w : watches) release(w), delete w;
    for (AvahiTimeout* t : timeouts) delete t;
  }

  // Each watch waits on its own duplicate of Avahi's descriptor: D-Bus may watch one descriptor
  // twice (reading and writing), and epoll takes each descriptor once.
  static void release(AvahiWatch* w) {
    boost::system::error_code ignored;
    w->descriptor.close(ignored);
  }

  // A freed object is deleted from a step posted after its waits were cancelled: the cancelled
  // completions are queued first, and asio runs them in order, so none finds it gone.
  template <typename T>
  void deleteLater(T* object) {
    asio::post(context, [object] { delete object; });
  }

  AvahiWatchEvent readyNow(AvahiWatch* w) {
    short want = 0;
    if (w->events & AVAHI_WATCH_IN) want |= POLLIN;
    if (w->events & AVAHI_WATCH_OUT) want |= POLLOUT;
    pollfd p{w->fd, want, 0};
    if (::poll(&p, 1, 0) <= 0) return AvahiWatchEvent(0);
    int out = 0;
    if (p.revents & POLLIN) out |= AVAHI_WATCH_IN;
    if (p.revents & POLLOUT) out |= AVAHI_WATCH_OUT;
    if (p.revents & POLLERR) out |= AVAHI_WATCH_ERR;
    if (p.revents & POLLHUP) out |= AVAHI_WATCH_HUP;
    return AvahiWatchEvent(out);
  }

  void arm(AvahiWatch* w) {
    if (!w->alive || w->events == 0 || w->dispatchPosted) return;
    AvahiWatchEvent now = readyNow(w);
    if (now) {
      w->dispatchPosted = true;
      unsigned generation = w->generation;
      asio::post(context, [this, w, generation, now] {
        w->dispatchPosted = false;
        if (!w->alive) return;
        if (generation != w->generation) return arm(w);
        dispatch(w, now);
      });
      return;
    }
    if ((w->events & AVAHI_WATCH_IN) && !w->readArmed) {
      w->readArmed = true;
      w->descriptor.async_wait(asio::posix::descriptor_base::wait_read, [this, w](boost::system::error_code) {
        w->readArmed = false;
        if (w->alive) arm(w);
      });
    }
    if ((w->events & AVAHI_WATCH_OUT) && !w->writeArmed) {
      w->writeArmed = true;
      w->descriptor.async_wait(asio::posix::descriptor_base::wait_write, [this, w](boost::system::error_code) {
        w->writeArmed = false;
        if (w->alive) arm(w);
      });
    }
  }

  void dispatch(AvahiWatch* w, AvahiWatchEvent events) {
    w->happened = events;
    w->callback(w, w->fd, events, w->userdata);
    if (w->alive) {
      w->happened = AvahiWatchEvent(0);
      arm(w);
    }
  }
};

namespace {

AsioAvahiPoll::Impl* implOf(const AvahiPoll* api) { return static_cast<AsioAvahiPoll::Impl*>(api->userdata); }

AvahiWatch* watchNew(const AvahiPoll* api, int fd, AvahiWatchEvent events, AvahiWatchCallback callback,
                     void* userdata) {
  auto* impl = implOf(api);
  auto* w = new AvahiWatch(impl, impl->context, fd, callback, userdata);
  w->events = events;
  impl->watches.insert(w);
  impl->arm(w);
  return w;
}

void watchUpdate(AvahiWatch* w, AvahiWatchEvent events) {
  w->events = events;
  ++w->generation;
  w->owner->arm(w);
}

AvahiWatchEvent watchGetEvents(AvahiWatch* w) { return w->happened; }

void watchFree(AvahiWatch* w) {
  auto* impl = w->owner;
  w->alive = false;
  AsioAvahiPoll::Impl::release(w);
  impl->watches.erase(w);
  impl->deleteLater(w);
}

void armTimeout(AvahiTimeout* t, const struct timeval* tv) {
  ++t->generation;
  t->timer.cancel();
  if (!tv) return;
  timeval now;
  gettimeofday(&now, nullptr);
  auto delay = std::chrono::seconds(tv->tv_sec - now.tv_sec) + std::chrono::microseconds(tv->tv_usec - now.tv_usec);
  if (delay < std::chrono::microseconds(0)) delay = std::chrono::microseconds(0);
  t->timer.expires_after(delay);
  unsigned generation = t->generation;
  t->timer.async_wait([t, generation](boost::system::error_code) {
    if (!t->alive || generation != t->generation) return;
    ++t->generation;  // fires once; Avahi re-arms it with an update when it wants more
    t->callback(t, t->userdata);
  });
}

AvahiTimeout* timeoutNew(const AvahiPoll* api, const struct timeval* tv, AvahiTimeoutCallback callback,
                         void* userdata) {
  auto* impl = implOf(api);
  auto* t = new AvahiTimeout(impl, impl->context, callback, userdata);
  impl->timeouts.insert(t);
  armTimeout(t, tv);
  return t;
}

void timeoutUpdate(AvahiTimeout* t, const struct timeval* tv) { armTimeout(t, tv); }

void timeoutFree(AvahiTimeout* t) {
  auto* impl = t->owner;
  t->alive = false;
  t->timer.cancel();
  impl->timeouts.erase(t);
  impl->deleteLater(t);
}

}  // namespace

AsioAvahiPoll::AsioAvahiPoll(asio::io_context& context) : impl_(std::make_unique<Impl>(context)) {
  api_.userdata = impl_.get();
  api_.watch_new = watchNew;
  api_.watch_update = watchUpdate;
  api_.watch_get_events = watchGetEvents;
  api_.watch_free = watchFree;
  api_.timeout_new = timeoutNew;
  api_.timeout_update = timeoutUpdate;
  api_.timeout_free = timeoutFree;
}

AsioAvahiPoll::~AsioAvahiPoll() = default;

}  // namespace nearby
