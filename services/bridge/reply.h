#pragma once

#include <memory>
#include <string>

#include "json.h"

namespace mirelo::services {

// An error value: the program's own failures carry the domain "MireloNative" and code 1; errors
// passed through from a platform service carry that service's message.
struct Error {
  std::string domain;
  int code = 1;
  std::string message;
};

Error failure(std::string message);

// The reply to one request, bound to its `id`. Copies share one state: whichever copy is called
// first writes the reply line; calling a second time is a programming error.
class Reply {
 public:
  explicit Reply(std::string id);

  void succeed(Json value) const;
  void fail(const Error& error) const;

  const std::string& id() const;

 private:
  struct State;
  void send(Json object) const;
  std::shared_ptr<State> state_;
};

}  // namespace mirelo::services
