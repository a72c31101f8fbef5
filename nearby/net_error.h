#pragma once

// Network errors as the platform reports them (errno values, Avahi's codes), and the code the
// host sees for each: errno names for the few it acts on, else "POSIX_n"; Avahi's daemon and bus
// errors as DNS-SD's service-not-running, its collision as DNS-SD's name conflict, access denied
// as "POLICY_DENIED", any other as "DNS_" + Avahi's own negative code. Pure functions.

#include <boost/system/error_code.hpp>

#include <string>

namespace nearby {

struct NetError {
  enum class Kind { Posix, Avahi, Other } kind = Kind::Other;
  int value = 0;
};

std::string errorCode(const NetError& error);
NetError netErrorOf(const boost::system::error_code& error);
inline NetError avahiError(int value) { return {NetError::Kind::Avahi, value}; }

// Refused or unreachable: an outbound channel reports "connection-waiting" and tries again.
bool isWaitingError(const boost::system::error_code& error);

}  // namespace nearby
