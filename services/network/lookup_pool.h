// Name lookups that never wait for each other. Asio's resolver runs every lookup of an io_context
// on one thread of its own, so one slow name holds every request behind it; here each lookup takes
// a thread of a small bounded pool (started on demand, ended after an idle while) and blocks in
// getaddrinfo there. A lookup cancelled meanwhile is dropped: not run when it was still queued,
// its late answer thrown away when it was running. Address literals are answered without a thread.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mirelo::services::network {

using Endpoints = std::vector<boost::asio::ip::tcp::endpoint>;

class LookupPool {
 public:
  // At most `threads` lookups run at once; more wait their turn in order.
  explicit LookupPool(size_t threads);
  ~LookupPool();  // waits for the lookups running (getaddrinfo cannot be interrupted)
  LookupPool(const LookupPool&) = delete;
  LookupPool& operator=(const LookupPool&) = delete;

  struct Job;
  using Done = std::function<void(boost::system::error_code, Endpoints)>;

  // Looks `host` up (a name, or an IPv4 or IPv6 literal without brackets); `done` runs once on
  // `executor` with the addresses in the system's order, or an error (asio's netdb errors), unless
  // the lookup is cancelled first.
  std::shared_ptr<Job> lookup(const std::string& host, const std::string& port, boost::asio::any_io_executor executor,
                              Done done);
  // After this `done` never runs. Any thread.
  static void cancel(const std::shared_ptr<Job>& job);

  // Lookup threads alive now (for tests).
  size_t threads() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// getaddrinfo's answer as asio reports it (EAI_NONAME is host_not_found, and so on).
boost::system::error_code lookupError(int eai, int savedErrno);

}  // namespace mirelo::services::network
