#pragma once

#include <string_view>

#include "json.h"

namespace mirelo::services {

// Writes one object as one compact JSON line on standard output and flushes it. Callable from any
// thread; lines never interleave. An object that cannot be serialised is not written at all.
void emit(const Json& object);

// Writes an already serialised line (without its "\n") under the same lock.
void writeLine(std::string_view line);

}  // namespace mirelo::services
