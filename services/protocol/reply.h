#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "block_pool.h"
#include "error.h"
#include "json.h"

namespace mirelo::services {

// The reply to one request, bound to its `id`. Copies share one state: whichever copy is called
// first writes the reply line; calling a second time is a programming error.
class Reply {
 public:
  explicit Reply(std::string id);

  void succeed(Json value) const;
  void fail(const Error& error) const;
  // Succeeds with a string that is a secret and needs no escaping (Base64 text): the line that
  // carries it is zeroed once written. The caller wipes its own copy.
  void succeedSecret(std::string_view text) const;

  // Succeeds with a value that `write` appends to the reply line as JSON text of the writer's own
  // form, for large values: no copy of the value, of its Base64 or of the line is made on the way.
  // `size`: the value's expected length.
  void succeedWritten(size_t size, const std::function<void(BlockBuffer& line)>& write) const;

  const std::string& id() const;
  bool replied() const;

 private:
  struct State;
  void send(Json object) const;
  std::shared_ptr<State> state_;
};

}  // namespace mirelo::services
