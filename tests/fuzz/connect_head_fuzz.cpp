// The CONNECT tunnel's response head from a proxy: whole, and as it arrives piece by piece.
#include <cassert>
#include <cstdint>
#include <string_view>

#include "network/tunnel_connect.h"

using namespace mirelo::services::network;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto head = connect_tunnel::parseHead(bytes);
  using State = connect_tunnel::Head::State;
  if (head.state == State::complete) {
    // Never past the bytes given or the bound; a prefix that ends at the head parses the same.
    assert(head.length <= size && head.length <= connect_tunnel::kMaxHead);
    const auto again = connect_tunnel::parseHead(bytes.substr(0, head.length));
    assert(again.state == State::complete && again.length == head.length && again.status == head.status);
    assert(head.status >= 100 && head.status <= 999 && head.reason.size() <= 100);
    for (const char c : head.reason) assert(c >= 0x20 && c < 0x7f);
    const auto text = connect_tunnel::refusal(head);
    assert(text.empty() == (head.status / 100 == 2));
  }
  // Shorter prefixes are never complete with a longer head than the whole.
  for (size_t cut = 0; cut < size; cut += 1 + cut / 4) {
    const auto part = connect_tunnel::parseHead(bytes.substr(0, cut));
    assert(part.state != State::complete || part.length <= cut);
    if (head.state == State::incomplete) assert(part.state == State::incomplete);
  }
  return 0;
}
