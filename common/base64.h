#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace mirelo {

// Standard alphabet with "=" padding, no line breaks.
std::string base64Encode(std::string_view bytes);

// Base64 of `bytes` as it stands inside a JSON string of our writer, "/" written as "\/", into
// `out`, which must have room for base64EscapedBound(bytes.size()) bytes. Returns the length.
size_t base64EncodeEscaped(std::string_view bytes, char* out);
constexpr size_t base64EscapedBound(size_t size) { return (size + 2) / 3 * 8 + 8; }

// Strict: the standard alphabet only, a length that is a multiple of four, padding required and
// only at the end. No whitespace, no URL-safe characters. Unused bits of the last symbol are
// ignored, as common encoders never set them.
std::optional<std::string> base64Decode(std::string_view text);

// The number of bytes `text` decodes to if it is well formed; lets callers bound a decode first.
size_t base64DecodedSize(std::string_view text);

// base64Decode into `out`, which must hold base64DecodedSize(text) bytes; false when `text` is
// refused (what `out` then holds is unspecified). Accepts and refuses exactly what base64Decode does.
bool base64DecodeTo(std::string_view text, char* out);

// base64Encode appended to `out`, so a reused line keeps its allocation.
void base64EncodeAppend(std::string& out, std::string_view bytes);

// base64Encode written at `out`, which must have room for base64EncodedSize(bytes.size()) bytes;
// for buffers that are not zero-filled first, as a string's resize would. Returns the length.
size_t base64EncodeTo(std::string_view bytes, char* out);
constexpr size_t base64EncodedSize(size_t size) { return (size + 2) / 3 * 4; }

// The codec takes 24 bytes (32 characters) a step on processors with AVX2, else three bytes at a
// time from tables. Both give the same results; tests and benchmarks turn the wide steps off
// (false) to compare them.
void base64UseWideSteps(bool on);

}  // namespace mirelo
