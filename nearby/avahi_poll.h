#pragma once

#include <avahi-common/watch.h>
#include <boost/asio/io_context.hpp>

#include <memory>

namespace nearby {

// Avahi's abstract event loop served by an asio io_context, so every Avahi callback runs on the
// thread that runs the context. Watches are level-triggered as Avahi expects: before waiting,
// the descriptor is polled, so bytes a callback left unread are never missed by asio's
// edge-triggered reactor. Must outlive every Avahi object made with it.
class AsioAvahiPoll {
 public:
  explicit AsioAvahiPoll(boost::asio::io_context& context);
  ~AsioAvahiPoll();
  AsioAvahiPoll(const AsioAvahiPoll&) = delete;
  AsioAvahiPoll& operator=(const AsioAvahiPoll&) = delete;

  const AvahiPoll* get() const { return &api_; }

  struct Impl;

 private:
  AvahiPoll api_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nearby
