#pragma once

// Byte-level helpers of the binary formats we read and write (PNG chunks, ISO boxes, the
// watermark's packet): big-endian numbers and zlib's CRC-32. Header only; a caller of `crc32`
// links zlib. Each costs a few instructions, `crc32` one pass over its bytes.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace mirelo::bytes {

// The big-endian number at `offset`; the caller has checked that its bytes are there.
inline uint32_t readBig32(std::string_view bytes, size_t offset) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
inline uint16_t readBig16(std::string_view bytes, size_t offset) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// `value` as 4 (or 2) big-endian bytes.
inline std::string big32(uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
          static_cast<char>(value)};
}
inline std::string big16(uint16_t value) { return {static_cast<char>(value >> 8), static_cast<char>(value)}; }

// The CRC-32 of PNG and zlib (ISO 3309) of `bytes`, at most 4 GiB of them.
inline uint32_t crc32(std::string_view bytes) {
  return static_cast<uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

}  // namespace mirelo::bytes
