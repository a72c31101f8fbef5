// URL validation on arbitrary text: refused with "网络地址无效" or accepted with a host free of
// control bytes and empty labels, a port in 1…65535 and a request target that begins with "/".
#include <cstdint>
#include <string>

#include "network/url.h"
#include "protocol/error.h"

using namespace mirelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view scheme = data[0] & 1 ? "wss" : "https";
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    const auto url = services::network::url(Json{{"url", text}}, scheme);
    if (url.host.empty() || url.target.empty() || url.target[0] != '/') __builtin_trap();
    for (const unsigned char c : url.host) {
      if (c < 0x20 || c == 0x7f) __builtin_trap();
    }
    // No empty label (addresses have none either).
    if (url.host.front() == '.' || url.host.back() == '.' || url.host.find("..") != std::string::npos) __builtin_trap();
    const int port = std::stoi(url.port);
    if (port < 1 || port > 65535 || std::to_string(port) != url.port) __builtin_trap();
    if (!text.starts_with(std::string(scheme) + "://")) __builtin_trap();
  } catch (const services::Error& error) {
    if (error.message != "网络地址无效") __builtin_trap();
  }
  return 0;
}
