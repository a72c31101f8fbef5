#pragma once

#include <exception>
#include <string>

namespace mirelo::services {

// An error value. The program's own failures carry the domain "MireloNative" and code 1; errors
// passed through from a platform service carry that service's message. Only the message reaches
// the host. Commands and helpers throw it; the dispatcher turns it into the error reply.
class Error : public std::exception {
 public:
  Error(std::string domain, int code, std::string message)
      : domain(std::move(domain)), code(code), message(std::move(message)) {}
  const char* what() const noexcept override { return message.c_str(); }

  std::string domain;
  int code;
  std::string message;
};

inline Error failure(std::string message) { return Error("MireloNative", 1, std::move(message)); }

// An error of a platform service, passed through with the service's own description.
inline Error platformError(std::string message) { return Error("", 0, std::move(message)); }

}  // namespace mirelo::services
