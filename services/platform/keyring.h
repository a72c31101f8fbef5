#pragma once

#include <string.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace mirelo::services::platform {

// Zeroes all of `text`'s storage, whether on the heap or the small buffer inside the string (which
// a move copies and leaves behind), and empties it.
inline void wipe(std::string& text) {
  ::explicit_bzero(text.data(), text.capacity());
  text.clear();
}

// Bytes of a secret: never copied, and zeroed before their memory is given back.
class SecretBytes {
 public:
  SecretBytes() = default;
  SecretBytes(const char* data, size_t size) : bytes_(data, size) {}
  // A moved string keeps its heap buffer, but a short one is copied out of the small buffer of
  // the source, which is wiped here.
  SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) { wipe(other.bytes_); }
  SecretBytes& operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
      wipe(bytes_);
      bytes_ = std::move(other.bytes_);
      wipe(other.bytes_);
    }
    return *this;
  }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { wipe(bytes_); }

  std::string_view view() const { return bytes_; }

 private:
  std::string bytes_;
};

// The latest moment a keychain may still be waited for.
using Deadline = std::chrono::steady_clock::time_point;

// The user's keychain: generic passwords found by the name of the service they belong to. Main
// thread; a lookup may wait for the user to answer the keychain's unlock prompt.
class Keychain {
 public:
  enum class Status {
    found,  // `secret` holds the item's data
    noData,  // an item without data
    notFound,  // no item, or no keychain to ask
    cancelled,  // the user dismissed the unlock prompt (or left it unanswered too long)
    authenticationFailed,  // unlocking failed
    unavailable,  // the keychain failed, did not answer in time, or left while asked
  };
  struct Lookup {
    Status status = Status::notFound;
    SecretBytes secret;
  };

  virtual ~Keychain() = default;
  // The item kept for `service` ("<Name> Safe Storage"). Every wait on the keychain ends by
  // `deadline`, except the wait for the user at an unlock prompt, which has a bound of its own and
  // moves `deadline` on by the time it took.
  virtual Lookup findPassword(std::string_view service, Deadline& deadline) = 0;
};

// The Secret Service (org.freedesktop.secrets) on the session bus, through libsecret: items with
// the attribute `service`, then the items Chromium's key storage writes for "<Name>".
std::unique_ptr<Keychain> makeSecretServiceKeychain();

// KWallet (org.kde.kwalletd6, else org.kde.kwalletd5): the entry "<Name> Safe Storage" in the
// folder "<Name> Keys" of the network wallet.
std::unique_ptr<Keychain> makeKWalletKeychain();

// The desktop's keychain: for each service, the Secret Service first, then KWallet when the Secret
// Service holds nothing for it.
std::unique_ptr<Keychain> makeDesktopKeychain();

// "<Name>" of a service named "<Name> Safe Storage"; empty for any other name.
std::string_view safeStorageOwner(std::string_view service);

}  // namespace mirelo::services::platform
