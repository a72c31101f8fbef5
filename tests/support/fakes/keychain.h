#pragma once

// A keychain that answers each service name with the status the test set ("found" holds the data
// "data of <service>"), notFound for any other, and records every name and deadline it was asked.

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/keyring.h"

namespace mirelo::services::testing {

class FakeKeychain final : public platform::Keychain {
 public:
  Lookup findPassword(std::string_view service, platform::Deadline& deadline) override {
    asked.emplace_back(service);
    deadlines.push_back(deadline);
    Lookup lookup;
    if (const auto found = answers.find(std::string(service)); found != answers.end()) {
      lookup.status = found->second;
      if (lookup.status == Status::found) {
        const std::string data = "data of " + std::string(service);
        lookup.secret = platform::SecretBytes(data.data(), data.size());
      }
    }
    return lookup;
  }

  std::map<std::string, Status> answers;
  std::vector<std::string> asked;
  std::vector<platform::Deadline> deadlines;
};

}  // namespace mirelo::services::testing
