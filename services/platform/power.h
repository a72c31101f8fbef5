#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace mirelo::services::platform {

// Power assertions that keep the system from idle sleep (the display may still sleep). Main thread.
class PowerAssertions {
 public:
  virtual ~PowerAssertions() = default;
  // Takes an assertion named `name`; its identifier (never 0), or 0 when none could be taken.
  virtual uint32_t create(std::string_view name) = 0;
  // Ends an assertion `create` answered.
  virtual void release(uint32_t assertion) = 0;
};

// A logind sleep inhibitor on the system bus, held through the descriptor logind hands out.
std::unique_ptr<PowerAssertions> makeLogindPowerAssertions();

}  // namespace mirelo::services::platform
