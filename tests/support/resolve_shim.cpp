// An LD_PRELOAD shim around getaddrinfo for the network tests, so no lookup leaves the machine.
// MIRELO_HOSTS names a file of lines "name [delay=SECONDS] address...": such a name is answered
// with those addresses in that order (after the delay: a slow lookup); any other name ending in
// ".test" is refused at once without asking DNS; everything else goes to the real getaddrinfo.
// The file is read on every call, so a test may change it while programs run.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using GetAddrInfo = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

bool endsWith(const std::string& text, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return text.size() >= n && strcasecmp(text.c_str() + text.size() - n, suffix) == 0;
}

addrinfo* entry(int family, const void* address, uint16_t port, const addrinfo* hints) {
  auto* info = static_cast<addrinfo*>(std::calloc(1, sizeof(addrinfo) + sizeof(sockaddr_in6)));
  info->ai_family = family;
  info->ai_socktype = hints && hints->ai_socktype ? hints->ai_socktype : SOCK_STREAM;
  info->ai_protocol = hints && hints->ai_protocol ? hints->ai_protocol : IPPROTO_TCP;
  info->ai_addr = reinterpret_cast<sockaddr*>(info + 1);
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(info->ai_addr);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    std::memcpy(&in->sin_addr, address, 4);
    info->ai_addrlen = sizeof(sockaddr_in);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(info->ai_addr);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    std::memcpy(&in6->sin6_addr, address, 16);
    info->ai_addrlen = sizeof(sockaddr_in6);
  }
  return info;
}

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  static auto real = reinterpret_cast<GetAddrInfo>(dlsym(RTLD_NEXT, "getaddrinfo"));
  const char* file = std::getenv("MIRELO_HOSTS");
  if (!node || !file) return real(node, service, hints, res);
  std::string name(node);
  if (!name.empty() && name.back() == '.') name.pop_back();
  std::ifstream hosts(file);
  std::string line;
  while (std::getline(hosts, line)) {
    std::istringstream words(line);
    std::string first;
    if (!(words >> first) || strcasecmp(first.c_str(), name.c_str()) != 0) continue;
    uint16_t port = 0;
    if (service) {
      char* end = nullptr;
      const long number = std::strtol(service, &end, 10);
      if (*end) {
        servent* known = getservbyname(service, "tcp");
        if (!known) return EAI_SERVICE;
        port = ntohs(static_cast<uint16_t>(known->s_port));
      } else {
        port = static_cast<uint16_t>(number);
      }
    }
    const int family = hints ? hints->ai_family : AF_UNSPEC;
    addrinfo* head = nullptr;
    addrinfo** tail = &head;
    std::string word;
    while (words >> word) {
      if (word.rfind("delay=", 0) == 0) {
        ::usleep(static_cast<useconds_t>(std::atof(word.c_str() + 6) * 1e6));
        continue;
      }
      unsigned char address[16];
      if (inet_pton(AF_INET, word.c_str(), address) == 1 && family != AF_INET6) {
        *tail = entry(AF_INET, address, port, hints);
      } else if (inet_pton(AF_INET6, word.c_str(), address) == 1 && family != AF_INET) {
        *tail = entry(AF_INET6, address, port, hints);
      } else {
        continue;
      }
      tail = &(*tail)->ai_next;
    }
    if (!head) return EAI_NONAME;
    *res = head;
    return 0;
  }
  if (endsWith(name, ".test")) return EAI_NONAME;
  return real(node, service, hints, res);
}

// Our entries are one allocation each, as glibc's are: both are freed as glibc frees its own.
extern "C" void freeaddrinfo(addrinfo* list) {
  while (list) {
    addrinfo* next = list->ai_next;
    std::free(list->ai_canonname);
    std::free(list);
    list = next;
  }
}
