// The SOCKS5 client's handshake fed a proxy's bytes: the first two input bytes pick the route
// (credentials or not, name or address), the rest are the proxy's answers in the sizes asked for.
#include <cassert>
#include <cstdint>
#include <string>
#include <string_view>

#include "network/proxy_config.h"
#include "network/tunnel_socks5.h"

using namespace mirelo::services::network;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const char* hosts[] = {"api.example.test", "127.0.0.1", "::1", "fd00::1"};
  Route route = *proxy::parseProxyUrl(data[0] & 1 ? "socks5h://u%3A:p%40@p:1" : "socks5h://p:1");
  socks5::Handshake handshake(route, hosts[data[1] % 4], 443);
  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  socks5::Step step = handshake.start();
  for (int turns = 0; step.what == socks5::Step::What::exchange; ++turns) {
    assert(turns < 6);  // greeting, authentication, request, reply in two reads
    assert(step.read <= 257);
    if (rest.size() < step.read) return 0;
    const std::string_view answer = rest.substr(0, step.read);
    rest.remove_prefix(step.read);
    step = handshake.received(answer);
    if (step.what == socks5::Step::What::failed) assert(step.failure.starts_with("SOCKS5 proxy p:1: "));
  }
  return 0;
}
