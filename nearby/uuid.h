#pragma once

// Ids made here: endpoint ids and the ids of accepted connections.

#include <string>

namespace nearby {

// A fresh random version-4 UUID in canonical upper-case form (8-4-4-4-12), from getrandom.
std::string makeUuid();

}  // namespace nearby
