// The network thread: one io_context run by one thread for the life of the process. The request
// reader reads standard input on it and the network client runs every session on it, so a
// WebSocket round trip (a command read, its frame written, the echo read, the lines written)
// stays on one thread and wakes it only when a descriptor becomes readable.
#pragma once

#include <boost/asio/io_context.hpp>

namespace mirelo::services::network {

// Started by the first call (any thread); never stops.
boost::asio::io_context& networkContext();

}  // namespace mirelo::services::network
