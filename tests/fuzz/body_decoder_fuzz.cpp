// The response body decoder on arbitrary bytes, whole and in random pieces: never more out than
// the room, the same bytes whatever the split, and what zlib itself makes of the input decoded
// back exactly.
#include <zlib.h>

#include <cstdint>
#include <string>

#include "network/body_decoder.h"

using namespace mirelo::services::network;

namespace {

struct Run {
  std::string out;
  BodyDecoder::Result result = BodyDecoder::Result::more;
  bool complete = false;
};

// `cuts` picks the piece sizes (1 to 64 bytes), or one piece when empty.
Run decode(Coding coding, std::string_view body, size_t room, std::string_view cuts) {
  BodyDecoder decoder(coding);
  Run run;
  size_t at = 0;
  size_t cut = 0;
  while (at < body.size() && run.result == BodyDecoder::Result::more) {
    const size_t step = cuts.empty() ? body.size() : 1 + static_cast<unsigned char>(cuts[cut++ % cuts.size()]) % 64;
    const size_t before = run.out.size();
    run.result = decoder.feed(body.substr(at, step), room - before, [&](std::string_view piece) {
      if (piece.size() > 16 * 1024) __builtin_trap();
      run.out.append(piece);
    });
    if (run.out.size() > room) __builtin_trap();
    at += step;
  }
  run.complete = decoder.complete();
  return run;
}

std::string compress(std::string_view data, int bits) {
  z_stream stream{};
  if (deflateInit2(&stream, 6, Z_DEFLATED, bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) __builtin_trap();
  std::string out(deflateBound(&stream, data.size()) + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  if (deflate(&stream, Z_FINISH) != Z_STREAM_END) __builtin_trap();
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const Coding coding = data[0] & 1 ? Coding::gzip : Coding::deflate;
  const size_t room = (size_t{data[1]} << 12) | (size_t{data[2]} << 4);  // 0 to about 1 MiB
  const size_t cutsSize = data[3] % 16;
  if (size < 4 + cutsSize) return 0;
  const std::string_view cuts(reinterpret_cast<const char*>(data) + 4, cutsSize);
  const std::string_view body(reinterpret_cast<const char*>(data) + 4 + cutsSize, size - 4 - cutsSize);

  const Run whole = decode(coding, body, room, {});
  const Run pieces = decode(coding, body, room, cuts.empty() ? std::string_view("\x00", 1) : cuts);
  // What one run handed over, the other did too, up to where it stopped.
  const size_t common = std::min(whole.out.size(), pieces.out.size());
  if (whole.out.compare(0, common, pieces.out, 0, common) != 0) __builtin_trap();
  if (whole.result == BodyDecoder::Result::more && pieces.result == BodyDecoder::Result::more &&
      (whole.out != pieces.out || whole.complete != pieces.complete)) {
    __builtin_trap();
  }

  // The input as a body: compressed by zlib, it decodes back to itself whenever it fits the room.
  const std::string_view plain = body.substr(0, 4096);
  for (const int bits : {31, 15, -15}) {
    const std::string encoded = compress(plain, bits);
    if (encoded.size() > encodedBound(plain.size())) __builtin_trap();
    const Run back = decode(bits == 31 ? Coding::gzip : Coding::deflate, encoded, room, cuts);
    if (plain.size() <= room) {
      if (back.result != BodyDecoder::Result::more || !back.complete || back.out != plain) __builtin_trap();
    } else if (back.result != BodyDecoder::Result::tooLarge) {
      __builtin_trap();
    }
  }
  return 0;
}
