#pragma once

// Power assertions counted in memory: identifiers 1, 2, … in order, or 0 for each when refusing.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/power.h"

namespace mirelo::services::testing {

class FakePower final : public platform::PowerAssertions {
 public:
  uint32_t create(std::string_view name) override {
    names.emplace_back(name);
    return refuse ? 0 : ++created;
  }
  void release(uint32_t assertion) override { released.push_back(assertion); }

  bool refuse = false;
  uint32_t created = 0;
  std::vector<std::string> names;  // every name asked for, refused ones included
  std::vector<uint32_t> released;
};

}  // namespace mirelo::services::testing
