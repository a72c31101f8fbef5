#include "url.h"

#include <boost/url/parse.hpp>

#include "payload.h"
#include "protocol/error.h"

namespace mirelo::services::network {
namespace {

constexpr size_t kMaxUrl = 2048;

}  // namespace

Url url(const Json& payload, std::string_view scheme) {
  const auto invalid = [] { return failure("网络地址无效"); };
  const std::string* text = readString(payload, "url");
  if (!text || text->size() > kMaxUrl) throw invalid();
  // Only a URL that begins with "scheme://" has a host. Checked before parsing, this also keeps
  // texts such as "https:#" away from an assertion inside Boost.URL 1.81.
  if (!text->starts_with(std::string(scheme) + "://")) throw invalid();
  const auto parsed = boost::urls::parse_uri(*text);
  if (!parsed) throw invalid();
  const auto& u = *parsed;
  if (u.has_userinfo() || u.has_fragment()) throw invalid();
  // Boost.URL ends the port at its first non-digit and takes the rest for the path
  // ("https://h:8a" gives the port 8 and the path "a"): after an authority a path begins with "/".
  const std::string path(u.encoded_path());
  if (!path.empty() && path.front() != '/') throw invalid();
  Url out;
  switch (u.host_type()) {
    case boost::urls::host_type::ipv4:
    case boost::urls::host_type::ipv6: out.host = std::string(u.host_address()); break;
    case boost::urls::host_type::name: out.host = std::string(u.host()); break;
    default: throw invalid();
  }
  // Percent-decoding can produce any byte; a host holding a control byte names no host at all
  // (and would be cut at a NUL by the resolver).
  if (out.host.empty()) throw invalid();
  for (const unsigned char c : out.host) {
    if (c < 0x20 || c == 0x7f) throw invalid();
  }
  // A name is labels joined by dots, none of them empty: OpenSSL takes a leading dot for "any
  // subdomain" when it checks the certificate, and a trailing dot (the absolute form) is refused
  // too, rather than sent as a second spelling of the same host.
  if (u.host_type() == boost::urls::host_type::name &&
      (out.host.front() == '.' || out.host.back() == '.' || out.host.find("..") != std::string::npos)) {
    throw invalid();
  }
  out.port = "443";
  if (u.has_port() && !u.port().empty()) {
    const std::string_view port = u.port();
    if (port.size() > 5) throw invalid();
    int number = 0;
    for (const char c : port) number = number * 10 + (c - '0');  // the parser passes digits only
    if (number < 1 || number > 65535) throw invalid();
    out.port = std::to_string(number);
  }
  out.target = path.empty() ? "/" : path;
  if (u.has_query()) out.target += "?" + std::string(u.encoded_query());
  out.authority = std::string(u.encoded_host_and_port());
  return out;
}

}  // namespace mirelo::services::network
