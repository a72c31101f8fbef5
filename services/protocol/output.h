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

// From now on, short lines the calling thread writes are held, in order, until it calls
// writeHeldLines(), until 64 KiB of them wait, or until another thread's line or the exit writes
// them first: lines still go out in the order written, in fewer writes. For a thread that runs
// handlers in batches (the network thread): it writes them each time it runs out of work.
void holdLines();
void writeHeldLines();
// Whether any lines are held (any thread; a hint: another thread may write them meanwhile).
bool linesHeld();

// Ends the process with `status` once no line is being written: a line in progress on another
// thread is finished first, and none starts afterwards. No destructors run.
[[noreturn]] void exitProcess(int status);

}  // namespace mirelo::services
