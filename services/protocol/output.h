#pragma once

#include <string_view>

#include "json.h"

namespace mirelo::services {

// Writes one object as one compact JSON line on standard output and flushes it. Callable from any
// thread; lines never interleave. An object that cannot be serialised is not written at all
// (false then).
bool emit(const Json& object);

// Writes an already serialised line (without its "\n") under the same lock.
void writeLine(std::string_view line);

// Ends the process with `status` once no line is being written: a line in progress on another
// thread is finished first, and none starts afterwards. No destructors run.
[[noreturn]] void exitProcess(int status);

}  // namespace mirelo::services
