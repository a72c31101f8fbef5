// Proxy URLs, no_proxy lists and the environment's choice of proxy (see proxy_config.h).
#include "proxy_config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace mirelo::services::network::proxy {
namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// An address literal's bytes (4 or 16), or nothing.
std::optional<std::vector<unsigned char>> addressBytes(std::string_view text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  const std::string copy(text);
  unsigned char buffer[16];
  if (::inet_pton(AF_INET, copy.c_str(), buffer) == 1) return std::vector<unsigned char>(buffer, buffer + 4);
  if (::inet_pton(AF_INET6, copy.c_str(), buffer) == 1) return std::vector<unsigned char>(buffer, buffer + 16);
  return std::nullopt;
}

// `entry` is an address or a range "address/bits".
bool addressMatches(std::string_view entry, const std::vector<unsigned char>& host) {
  size_t bits = host.size() * 8;
  if (const size_t slash = entry.find('/'); slash != std::string_view::npos) {
    const std::string_view count = entry.substr(slash + 1);
    if (count.empty() || count.size() > 3 || !std::all_of(count.begin(), count.end(), ::isdigit)) return false;
    bits = std::stoul(std::string(count));
    entry = entry.substr(0, slash);
  }
  const auto address = addressBytes(entry);
  if (!address || address->size() != host.size() || bits > host.size() * 8) return false;
  for (size_t i = 0; i < bits; ++i) {
    const unsigned char mask = static_cast<unsigned char>(0x80 >> (i % 8));
    if (((*address)[i / 8] & mask) != (host[i / 8] & mask)) return false;
  }
  return true;
}

const char* env(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

}  // namespace

std::optional<Route> parseProxyUrl(std::string_view text, bool gio) {
  text = trim(text);
  Route route;
  route.kind = Route::Kind::connect;
  if (const size_t scheme = text.find("://"); scheme != std::string_view::npos) {
    const std::string name = lower(text.substr(0, scheme));
    text.remove_prefix(scheme + 3);
    if (name == "http") {
      route.kind = Route::Kind::connect;
    } else if (name == "socks5h" && !gio) {  // NOLINT(bugprone-branch-clone): a branch per scheme
      route.kind = Route::Kind::socks5h;
    } else if (name == "socks5") {
      route.kind = gio ? Route::Kind::socks5h : Route::Kind::socks5;
    } else if (name == "socks" && gio) {
      route.kind = Route::Kind::socks5h;
    } else {
      return std::nullopt;  // https proxies, SOCKS4: not spoken here
    }
  }
  // The authority ends at the path, if any.
  if (const size_t end = text.find_first_of("/?#"); end != std::string_view::npos) {
    if (text.substr(end) != "/") return std::nullopt;
    text = text.substr(0, end);
  }
  if (const size_t at = text.rfind('@'); at != std::string_view::npos) {
    const std::string_view userinfo = text.substr(0, at);
    text.remove_prefix(at + 1);
    const size_t colon = userinfo.find(':');
    auto user = percentDecode(userinfo.substr(0, colon));
    auto password = percentDecode(colon == std::string_view::npos ? std::string_view() : userinfo.substr(colon + 1));
    if (!user || !password) return std::nullopt;
    route.user = std::move(*user);
    route.password = std::move(*password);
    route.credentials = true;
  }
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    route.host = std::string(text.substr(1, close - 1));
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      port = rest.substr(1);
    }
    if (!addressBytes(route.host) || route.host.find(':') == std::string::npos) return std::nullopt;
  } else {
    const size_t colon = text.find(':');
    route.host = std::string(text.substr(0, colon));
    if (colon != std::string_view::npos) port = text.substr(colon + 1);
  }
  if (route.host.empty()) return std::nullopt;
  for (const unsigned char c : route.host) {
    if (c <= 0x20 || c == 0x7f || c == '@' || c == '/' || c == '%') return std::nullopt;
  }
  if (port.empty()) {
    route.port = "1080";
  } else {
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), ::isdigit)) return std::nullopt;
    const int number = std::stoi(std::string(port));
    if (number < 1 || number > 65535) return std::nullopt;
    route.port = std::to_string(number);
  }
  return route;
}

bool noProxyMatches(std::string_view list, std::string_view hostText) {
  std::string host = lower(hostText);
  if (!host.empty() && host.back() == '.') host.pop_back();
  const auto address = addressBytes(host);
  while (!list.empty()) {
    const size_t comma = list.find(',');
    std::string entry = lower(trim(list.substr(0, comma)));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (entry.empty()) continue;
    if (entry == "*") return true;
    if (address) {
      if (addressMatches(entry, *address)) return true;
      continue;
    }
    if (entry.front() == '.') entry.erase(0, 1);
    if (!entry.empty() && entry.back() == '.') entry.pop_back();
    if (entry.empty()) continue;
    if (host == entry) return true;
    if (host.size() > entry.size() && host.ends_with(entry) && host[host.size() - entry.size() - 1] == '.') return true;
  }
  return false;
}

Environment Environment::fromProcess() {
  Environment out;
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    if (const char* value = env(name)) {
      out.proxy = value;
      out.variable = name;
      break;
    }
  }
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    if (const char* value = env(name)) {
      out.noProxy = value;
      break;
    }
  }
  return out;
}

Routes Environment::routesFor(std::string_view host) const {
  Routes routes;
  if (proxy.empty() || noProxyMatches(noProxy, host)) {
    routes.list.emplace_back();
    return routes;
  }
  if (auto route = parseProxyUrl(proxy)) {
    routes.list.push_back(std::move(*route));
  } else {
    // Going around a proxy the user set would leak what the proxy is there to hold back.
    routes.failure = "proxy setting not understood: " + variable;
  }
  return routes;
}

Routes routesFromUris(const std::vector<std::string>& uris) {
  Routes routes;
  for (const auto& uri : uris) {
    if (lower(uri).starts_with("direct://")) {
      routes.list.emplace_back();
    } else if (auto route = parseProxyUrl(uri, true); route && lower(uri).find("://") != std::string::npos) {
      routes.list.push_back(std::move(*route));
    }
  }
  if (routes.list.empty()) routes.failure = "no proxy the system names can be used";
  return routes;
}

}  // namespace mirelo::services::network::proxy
