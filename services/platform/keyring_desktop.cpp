// The desktop's keychain: the Secret Service, then KWallet, for each service name.
#include <memory>

#include "keyring.h"

namespace mirelo::services::platform {
namespace {

constexpr std::string_view kSafeStorage = " Safe Storage";

class DesktopKeychain final : public Keychain {
 public:
  Lookup findPassword(std::string_view service, Deadline& deadline) override {
    Lookup lookup = secretService_->findPassword(service, deadline);
    if (lookup.status != Status::notFound && lookup.status != Status::noData) return lookup;
    Lookup wallet = kwallet_->findPassword(service, deadline);
    return wallet.status == Status::notFound ? std::move(lookup) : std::move(wallet);
  }

 private:
  std::unique_ptr<Keychain> secretService_ = makeSecretServiceKeychain();
  std::unique_ptr<Keychain> kwallet_ = makeKWalletKeychain();
};

}  // namespace

std::string_view safeStorageOwner(std::string_view service) {
  if (service.size() <= kSafeStorage.size() || !service.ends_with(kSafeStorage)) return {};
  return service.substr(0, service.size() - kSafeStorage.size());
}

std::unique_ptr<Keychain> makeDesktopKeychain() { return std::make_unique<DesktopKeychain>(); }

}  // namespace mirelo::services::platform
