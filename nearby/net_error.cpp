// The mapping of network errors to the host's codes (see net_error.h).
#include "net_error.h"

#include <avahi-common/error.h>

#include <cerrno>

namespace nearby {
namespace {

// The DNS-SD numbers for the Avahi errors that have one.
constexpr int kServiceNotRunning = -65563;
constexpr int kNameConflict = -65548;

std::string posixCode(int value) {
  switch (value) {
    case EPERM: return "EPERM";
    case EACCES: return "EACCES";
    case ENETDOWN: return "ENETDOWN";
    case ENETUNREACH: return "ENETUNREACH";
    case ETIMEDOUT: return "ETIMEDOUT";
    case ECONNREFUSED: return "ECONNREFUSED";
    default: return "POSIX_" + std::to_string(value);
  }
}

std::string avahiCode(int value) {
  switch (value) {
    case AVAHI_ERR_NO_DAEMON:
    case AVAHI_ERR_DISCONNECTED:
    case AVAHI_ERR_DBUS_ERROR:  // no system bus: the daemon cannot be reached either
      return "DNS_" + std::to_string(kServiceNotRunning);
    case AVAHI_ERR_COLLISION: return "DNS_" + std::to_string(kNameConflict);
    case AVAHI_ERR_ACCESS_DENIED:
    case AVAHI_ERR_NOT_PERMITTED: return "POLICY_DENIED";
    default: return "DNS_" + std::to_string(value);
  }
}

}  // namespace

std::string errorCode(const NetError& error) {
  switch (error.kind) {
    case NetError::Kind::Posix: return posixCode(error.value);
    case NetError::Kind::Avahi: return avahiCode(error.value);
    case NetError::Kind::Other: break;
  }
  return "NETWORK_ERROR";
}

NetError netErrorOf(const boost::system::error_code& error) {
  if (error.category() == boost::system::system_category() || error.category() == boost::system::generic_category())
    return {NetError::Kind::Posix, error.value()};
  return {NetError::Kind::Other, error.value()};
}

bool isWaitingError(const boost::system::error_code& error) {
  if (error.category() != boost::system::system_category()) return false;
  switch (error.value()) {
    case ECONNREFUSED:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
    case ETIMEDOUT:
    case EADDRNOTAVAIL: return true;
    default: return false;
  }
}

}  // namespace nearby
