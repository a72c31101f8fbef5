// The body decoder on bodies made here with zlib, in pieces of every size, against its room.
#include "network/body_decoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace mirelo::services::network {
namespace {

// windowBits as deflateInit2 takes them: 15 zlib, 31 gzip, -15 raw deflate.
std::string compress(const std::string& data, int bits, int level = 6) {
  z_stream stream{};
  deflateInit2(&stream, level, Z_DEFLATED, bits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, data.size()) + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::string varied(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 251) % 256);
  return data;
}

struct Decoded {
  std::string bytes;
  BodyDecoder::Result result = BodyDecoder::Result::more;
  bool complete = false;
  size_t largestPiece = 0;
};

// Feeds `body` in pieces of `step` bytes with `room` decoded bytes allowed in all.
Decoded decode(Coding coding, const std::string& body, size_t step, size_t room) {
  BodyDecoder decoder(coding);
  Decoded out;
  for (size_t at = 0; at < body.size() && out.result == BodyDecoder::Result::more; at += step) {
    out.result =
        decoder.feed(std::string_view(body).substr(at, step), room - out.bytes.size(), [&](std::string_view piece) {
          out.bytes.append(piece);
          out.largestPiece = std::max(out.largestPiece, piece.size());
        });
  }
  out.complete = decoder.complete();
  return out;
}

TEST(BodyDecoder, CodingsNamed) {
  EXPECT_EQ(codingOf(""), Coding::identity);
  EXPECT_EQ(codingOf("identity"), Coding::identity);
  EXPECT_EQ(codingOf("gzip"), Coding::gzip);
  EXPECT_EQ(codingOf(" GZip ,"), Coding::gzip);
  EXPECT_EQ(codingOf("x-gzip"), Coding::gzip);
  EXPECT_EQ(codingOf("deflate"), Coding::deflate);
  EXPECT_EQ(codingOf("identity, deflate"), Coding::deflate);
  EXPECT_EQ(codingOf("br"), std::nullopt);
  EXPECT_EQ(codingOf("gzip, br"), std::nullopt);
  EXPECT_EQ(codingOf("gzip, gzip"), std::nullopt);
  EXPECT_EQ(codingOf("gzipx"), std::nullopt);
}

TEST(BodyDecoder, EveryWrappingInEveryPieceSize) {
  const std::string data = varied(100'000);
  const struct {
    Coding coding;
    int bits;
  } forms[] = {{Coding::gzip, 31}, {Coding::deflate, 15}, {Coding::deflate, -15}};
  for (const auto& form : forms) {
    for (int level : {0, 1, 9}) {
      const std::string body = compress(data, form.bits, level);
      for (size_t step : {size_t{1}, size_t{2}, size_t{3}, size_t{1000}, body.size()}) {
        SCOPED_TRACE(testing::Message() << "bits " << form.bits << " level " << level << " step " << step);
        const Decoded out = decode(form.coding, body, step, data.size());
        EXPECT_EQ(out.result, BodyDecoder::Result::more);
        EXPECT_TRUE(out.complete);
        EXPECT_EQ(out.bytes, data);
        EXPECT_LE(out.largestPiece, size_t{16} * 1024);
      }
    }
  }
}

TEST(BodyDecoder, ABombStopsAtItsRoom) {
  // 64 MiB of zeros in about 64 KiB: a body of exactly the room is taken, one byte less is refused,
  // and no more than the room was handed over.
  const std::string zeros(64 << 20, '\0');
  const std::string bomb = compress(zeros, 31, 9);
  ASSERT_LT(bomb.size(), size_t{100'000});
  const Decoded whole = decode(Coding::gzip, bomb, 4096, zeros.size());
  EXPECT_EQ(whole.result, BodyDecoder::Result::more);
  EXPECT_EQ(whole.bytes.size(), zeros.size());
  for (size_t room : {size_t{0}, size_t{1}, size_t{4096}, size_t{12'582'912}, zeros.size() - 1}) {
    SCOPED_TRACE(room);
    const Decoded cut = decode(Coding::gzip, bomb, 4096, room);
    EXPECT_EQ(cut.result, BodyDecoder::Result::tooLarge);
    EXPECT_LE(cut.bytes.size(), room);
  }
}

TEST(BodyDecoder, BrokenBodies) {
  const std::string data = varied(5000);
  const std::string gzip = compress(data, 31);
  const std::string zlib = compress(data, 15);
  const std::string raw = compress(data, -15);
  // Two gzip members are one body (RFC 1952).
  const Decoded twice = decode(Coding::gzip, gzip + gzip, 7, 20'000);
  EXPECT_EQ(twice.result, BodyDecoder::Result::more);
  EXPECT_EQ(twice.bytes, data + data);
  EXPECT_TRUE(twice.complete);
  // Cut short: no error yet, but not complete.
  for (const auto& [coding, body] : {std::pair{Coding::gzip, gzip}, {Coding::deflate, zlib}, {Coding::deflate, raw}}) {
    const Decoded cut = decode(coding, body.substr(0, body.size() - 3), 100, 20'000);
    EXPECT_EQ(cut.result, BodyDecoder::Result::more);
    EXPECT_FALSE(cut.complete);
  }
  EXPECT_FALSE(decode(Coding::deflate, zlib.substr(0, 1), 1, 100).complete);
  // Bytes after the end, a damaged check value, bytes that are no compressed data.
  EXPECT_EQ(decode(Coding::deflate, zlib + "x", 100, 20'000).result, BodyDecoder::Result::invalid);
  EXPECT_EQ(decode(Coding::gzip, gzip + "garbage!", 100, 20'000).result, BodyDecoder::Result::invalid);
  std::string damaged = gzip;
  damaged[damaged.size() - 6] ^= 1;  // the CRC
  EXPECT_EQ(decode(Coding::gzip, damaged, 100, 20'000).result, BodyDecoder::Result::invalid);
  EXPECT_EQ(decode(Coding::gzip, data, 100, 20'000).result, BodyDecoder::Result::invalid);
  // Nothing encoded is an empty body.
  BodyDecoder empty(Coding::gzip);
  EXPECT_TRUE(empty.complete());
}

TEST(BodyDecoder, EncodedBoundCoversIncompressibleData) {
  std::string noise(1 << 20, '\0');
  uint32_t state = 1;
  for (char& c : noise) {
    state = state * 1664525 + 1013904223;
    c = static_cast<char>(state >> 24);
  }
  for (int bits : {31, 15, -15}) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{4096}, noise.size()}) {
      EXPECT_LE(compress(noise.substr(0, size), bits, 0).size(), encodedBound(size)) << bits << " " << size;
      EXPECT_LE(compress(noise.substr(0, size), bits, 9).size(), encodedBound(size)) << bits << " " << size;
    }
  }
}

}  // namespace
}  // namespace mirelo::services::network
