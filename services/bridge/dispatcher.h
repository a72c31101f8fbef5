#pragma once

#include <string>
#include <string_view>

#include "json.h"
#include "protocol/reply.h"
#include "services.h"

namespace mirelo::services {

// Runs one request on the main thread (or, for a command `runsOnReader` names, on the reader's):
// finds its command in the command table and runs it. Every
// path ends in exactly one call of `reply`, now or later from the thread that finishes the work.
void handle(Services& services, const std::string& command, const Json& payload, const Reply& reply);

// Whether `command` names a command of the table (the others are answered without their payload).
bool isCommand(std::string_view command);

// Whether `command` may run on the reader's thread: a network command, once the network client
// exists. Such a command only checks its payload and posts its work to the network thread.
bool runsOnReader(std::string_view command);

// Ends the process the way `stop` and the end of input do: this program's delivered notifications
// are removed, replies still outstanding are never written.
[[noreturn]] void endProcess(Services& services);

}  // namespace mirelo::services
