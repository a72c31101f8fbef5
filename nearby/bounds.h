#pragma once

// The program's bounds in one place: what the host may send, what is held for it, and the
// service type peers browse for.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nearby {

inline constexpr std::string_view serviceType = "_solvantio._tcp";
inline constexpr size_t maxCommand = 2'097'152;  // bytes of an input line, and of an output line
inline constexpr size_t maxWrite = 786'436;  // bytes of one send, decoded
inline constexpr size_t maxBase64Text = maxWrite * 4 / 3 + 8;
inline constexpr size_t maxDataEvent = 65'536;  // bytes of one "data" event, decoded
inline constexpr size_t maxConnections = 128;
inline constexpr int64_t maxPendingPerConnection = 2'097'152;
inline constexpr int64_t maxPendingTotal = 16'777'216;
inline constexpr size_t maxEndpoints = 256;
inline constexpr size_t maxIdBytes = 64;
inline constexpr size_t maxIdCharacters = 64;  // a window or request id, in user-perceived characters
inline constexpr std::chrono::seconds discoveryWindow{60};

}  // namespace nearby
