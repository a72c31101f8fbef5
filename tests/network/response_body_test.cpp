// A response body into its reply line: Base64 across pieces of every size, the limit and the room
// over all requests, declared lengths, and gzip bodies decoded, cut short or broken.
#include "network/response_body.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "base64.h"

namespace mirelo::services::network {
namespace {

constexpr size_t kRoom = size_t{1} << 30;

std::string gzip(const std::string& data) {
  z_stream stream{};
  deflateInit2(&stream, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
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

// Bytes whose Base64 has "/" in it, so the escaping is seen.
std::string varied(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(0xff - (i * 13) % 256);
  return data;
}

std::string escaped(std::string_view bytes) {
  std::string out;
  for (const char c : base64Encode(bytes)) {
    if (c == '/') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

TEST(ResponseBody, Base64AcrossPiecesOfEverySize) {
  for (const size_t size : {0, 1, 2, 3, 4, 5, 100, 65537}) {
    for (const size_t step : {1, 2, 3, 4, 7, 4096, 70000}) {
      const std::string data = varied(size);
      ResponseBody body(size + 10);
      ASSERT_TRUE(body.decodes(""));
      body.begin("{\"id\":\"1\",\"value\":", size % 2 ? std::optional<uint64_t>(size) : std::nullopt);
      for (size_t at = 0; at < size; at += step) {
        ASSERT_EQ(body.take(std::string_view(data).substr(at, step), kRoom), ResponseBody::Taken::ok);
      }
      EXPECT_EQ(body.received(), size);
      EXPECT_EQ(body.unfinished(), std::nullopt);
      EXPECT_EQ(body.end(200).view(), "{\"id\":\"1\",\"value\":{\"body\":\"" + escaped(data) + "\",\"status\":200}")
          << size << " in pieces of " << step;
      body.release();
    }
  }
}

TEST(ResponseBody, LimitsAndDeclaredLengths) {
  struct Case {
    const char* name;
    std::string codings;
    size_t limit, room, size;
    std::optional<uint64_t> declared;
    bool admitted;
    ResponseBody::Taken taken;
  };
  const std::string encoded = gzip(varied(5000));
  const Case cases[] = {
      {"at the limit", "", 100, kRoom, 100, 100, true, ResponseBody::Taken::ok},
      {"a byte over", "", 100, kRoom, 101, std::nullopt, true, ResponseBody::Taken::tooLarge},
      {"declared over", "", 100, kRoom, 0, 101, false, ResponseBody::Taken::ok},
      {"no room left over all", "", 100, 50, 51, std::nullopt, true, ResponseBody::Taken::tooLarge},
      {"decoded over the limit", "gzip,", 4999, kRoom, encoded.size(), encoded.size(), true,
       ResponseBody::Taken::tooLarge},
      {"decoded at the limit", "gzip,", 5000, kRoom, encoded.size(), encoded.size(), true, ResponseBody::Taken::ok},
      {"declared over the encoded bound", "gzip,", 100, kRoom, 0, 100000, false, ResponseBody::Taken::ok},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResponseBody body(c.limit);
    ASSERT_TRUE(body.decodes(c.codings));
    EXPECT_EQ(body.admits(c.declared), c.admitted);
    if (!c.admitted) continue;
    body.begin("", c.declared);
    const std::string data = c.codings.empty() ? varied(c.size) : encoded;
    EXPECT_EQ(body.take(data, c.room), c.taken);
  }
}

TEST(ResponseBody, CodingsRefusedCutShortOrBroken) {
  EXPECT_FALSE(ResponseBody(10).decodes("br,"));
  EXPECT_FALSE(ResponseBody(10).decodes("gzip,gzip,"));

  const std::string data = varied(3000);
  const std::string encoded = gzip(data);
  ResponseBody whole(3000);
  ASSERT_TRUE(whole.decodes("gzip,"));
  whole.begin("", std::nullopt);
  ASSERT_EQ(whole.take(encoded, kRoom), ResponseBody::Taken::ok);
  EXPECT_EQ(whole.unfinished(), std::nullopt);
  EXPECT_EQ(whole.end(200).view(), "{\"body\":\"" + escaped(data) + "\",\"status\":200}");

  ResponseBody cut(3000);
  ASSERT_TRUE(cut.decodes("gzip,"));
  cut.begin("", std::nullopt);
  ASSERT_EQ(cut.take(std::string_view(encoded).substr(0, encoded.size() / 2), kRoom), ResponseBody::Taken::ok);
  EXPECT_NE(cut.unfinished(), std::nullopt);

  ResponseBody broken(3000);
  ASSERT_TRUE(broken.decodes("gzip,"));
  broken.begin("", std::nullopt);
  EXPECT_EQ(broken.take("not gzip at all", kRoom), ResponseBody::Taken::invalid);
  EXPECT_FALSE(broken.invalidText().empty());
}

}  // namespace
}  // namespace mirelo::services::network
