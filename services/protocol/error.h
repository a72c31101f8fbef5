#pragma once

#include <exception>
#include <string>

namespace mirelo::services {

// An error value: the message the host reads in the error reply, ours or a platform service's.
// Commands and helpers throw it; the dispatcher turns it into the error reply.
class Error : public std::exception {
 public:
  explicit Error(std::string text) : message(std::move(text)) {}
  const char* what() const noexcept override { return message.c_str(); }

  std::string message;
};

// One of the program's own failures, in the host's words.
inline Error failure(std::string message) { return Error(std::move(message)); }

// An error of a platform service, passed through with the service's own description.
inline Error platformError(std::string message) { return Error(std::move(message)); }

}  // namespace mirelo::services
