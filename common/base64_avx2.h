#pragma once

// The Base64 kernels on 256-bit vectors (24 bytes <-> 32 characters a step), for base64.cpp.
// Each does whole steps only and says how far it got; the caller finishes the rest with the
// scalar code. Call only when `hasAvx2()`.

#include <cstddef>

namespace mirelo::base64_avx2 {

// The processor has AVX2 and the wide steps are not turned off (setWide).
bool hasAvx2();
void setWide(bool on);

// Encodes 24-byte steps while 28 bytes remain (a step reads 4 past its input). Returns the bytes
// consumed; `out` has advanced by 4/3 of them.
size_t encode(const unsigned char* in, size_t size, char*& out);

// The same with "/" written as "\/", while 36 bytes remain. `out` must have
// base64EscapedBound(size) bytes of room: a step may write up to 31 bytes past what it keeps.
size_t encodeEscaped(const unsigned char* in, size_t size, char*& out);

// Decodes 32-character steps while `chars` leaves more than 32 (the last quad, which may be
// padded, is the caller's). Returns the characters consumed, `out` advanced by 3/4 of them; stops
// early with `bad` set at a character outside the alphabet.
size_t decode(const unsigned char* in, size_t chars, char*& out, bool& bad);

}  // namespace mirelo::base64_avx2
