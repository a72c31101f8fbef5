// The plain reader of send lines against the general JSON reader on lines that are hard for it,
// and its read from the line's end against its full scan.
// Its contract: a line it takes, whose data then decodes as Base64, is a JSON object with exactly
// those four members and values; everything else is left to the general reader.
#include "send_line.h"

#include <gtest/gtest.h>

#include "base64.h"
#include "json.h"
#include "payload.h"

namespace nearby {
namespace {

bool decodes(std::string_view data) {
  std::string bytes(mirelo::base64DecodedSize(data), '\0');
  return !data.empty() && mirelo::base64DecodeTo(data, bytes.data());
}

// The read the bridge makes: from the line's end first, scanned in full when the data so taken
// does not decode.
std::optional<SendLine> readAsTheBridge(std::string_view line) {
  std::optional<SendLine> send = readSendLine(line, DataScan::FromEnd);
  if (send && send->dataUnscanned && !decodes(send->data)) return readSendLine(line, DataScan::Full);
  return send;
}

struct Case {
  const char* what;
  std::string line;
  bool taken;  // by the plain reader
};

TEST(SendLine, AgreesWithTheGeneralReader) {
  const std::string plain = R"({"command":"send","connectionId":"c","requestId":"r","data":"QUJD"})";
  const Case cases[] = {
      {"plain", plain, true},
      {"members in another order", R"({"data":"QUJD","requestId":"r","connectionId":"c","command":"send"})", true},
      {"whitespace between tokens",
       " {\t\"command\" :\"send\" , \"connectionId\": \"c\",\"requestId\":\"r\",\r"
       "\"data\"\t:\t\"QUJD\" } \r",
       true},
      {"escaped slashes in data", R"({"command":"send","connectionId":"c","requestId":"r","data":"\/\/\/\/"})", true},
      {"slash escape last", R"({"command":"send","connectionId":"c","requestId":"r","data":"QUJ\/"})", true},
      {"non-ASCII ids",
       "{\"command\":\"send\",\"connectionId\":\"\xc3\xa9\",\"requestId\":\"\xe2\x82\xac\","
       "\"data\":\"QUJD\"}",
       true},
      {"empty ids and data", R"({"command":"send","connectionId":"","requestId":"","data":""})", true},
      {"other escape in data", R"({"command":"send","connectionId":"c","requestId":"r","data":"QUJ\u0044"})", false},
      {"escaped quote in data", R"({"command":"send","connectionId":"c","requestId":"r","data":"QU\"JD"})", false},
      {"backslash before the quote", R"({"command":"send","connectionId":"c","requestId":"r","data":"QUJD\"})", false},
      {"escape in an id", R"({"command":"send","connectionId":"\/c","requestId":"r","data":"QUJD"})", false},
      {"escape in a key", R"({"comm\u0061nd":"send","connectionId":"c","requestId":"r","data":"QUJD"})", false},
      {"duplicate data", R"({"command":"send","connectionId":"c","requestId":"r","data":"QUJD","data":"QUJE"})", false},
      {"duplicate id", R"({"command":"send","connectionId":"c","connectionId":"d","requestId":"r","data":"QUJD"})",
       false},
      {"extra member", R"({"command":"send","connectionId":"c","requestId":"r","data":"QUJD","x":"y"})", false},
      {"member missing", R"({"command":"send","connectionId":"c","data":"QUJD"})", false},
      {"data not a string", R"({"command":"send","connectionId":"c","requestId":"r","data":5})", false},
      {"data null", R"({"command":"send","connectionId":"c","requestId":"r","data":null})", false},
      {"id not a string", R"({"command":"send","connectionId":["c"],"requestId":"r","data":"QUJD"})", false},
      {"another command", R"({"command":"close","connectionId":"c","requestId":"r","data":"QUJD"})", false},
      {"invalid UTF-8 in an id",
       "{\"command\":\"send\",\"connectionId\":\"c\xff\",\"requestId\":\"r\",\"data\":\"QUJD\"}", false},
      {"control character in an id",
       "{\"command\":\"send\",\"connectionId\":\"c\x01\",\"requestId\":\"r\",\"data\":\"QUJD\"}", false},
      {"trailing comma", R"({"command":"send","connectionId":"c","requestId":"r","data":"QUJD",})", false},
      {"text after the object", plain + " x", false},
      {"second object", plain + plain, false},
      {"NUL after the object", plain + std::string(1, '\0'), false},
      {"unterminated data", R"({"command":"send","connectionId":"c","requestId":"r","data":"QUJD)", false},
      {"unclosed object", R"({"command":"send","connectionId":"c","requestId":"r","data":"QUJD")", false},
      {"missing colon", R"({"command":"send","connectionId""c","requestId":"r","data":"QUJD"})", false},
      {"array", "[" + plain + "]", false},
      // Taken, but the data does not decode, so the bridge leaves the line to the general reader:
      // a control character or invalid UTF-8 there is invalid JSON, not a refused send.
      {"control character in data",
       "{\"command\":\"send\",\"connectionId\":\"c\",\"requestId\":\"r\",\"data\":\"QU\x01D\"}", true},
      {"invalid UTF-8 in data",
       "{\"command\":\"send\",\"connectionId\":\"c\",\"requestId\":\"r\",\"data\":\"QU\xff\xfe\"}", true},
      {"not Base64", R"({"command":"send","connectionId":"c","requestId":"r","data":"QUJ"})", true},
      {"quote inside the last data", R"({"command":"send","connectionId":"c","requestId":"r","data":"QU"JD"})", false},
      {"the last quote an id's", R"({"command":"send","data":"QUJD","connectionId":"c","requestId":"r"})", true},
      {"the last quote a key's", R"({"command":"send","connectionId":"c","requestId":"r","data":"QUJD","x"})", false},
  };
  mirelo::JsonReader reader;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::optional<SendLine> send = readSendLine(c.line);
    ASSERT_EQ(send.has_value(), c.taken);
    const std::optional<SendLine> fromEnd = readAsTheBridge(c.line);
    ASSERT_EQ(fromEnd.has_value(), c.taken);
    if (!send) continue;
    EXPECT_EQ(fromEnd->connectionId, send->connectionId);
    EXPECT_EQ(fromEnd->requestId, send->requestId);
    EXPECT_EQ(fromEnd->data, send->data);
    EXPECT_EQ(fromEnd->dataEscaped, send->dataEscaped);
    std::string data;
    unescapeSlashes(send->data, data);
    std::string bytes(mirelo::base64DecodedSize(data), '\0');
    const bool decodes = !data.empty() && mirelo::base64DecodeTo(data, bytes.data());
    const std::optional<mirelo::Json> value = reader.parse(c.line);
    if (!decodes) continue;  // the bridge goes to the general reader
    ASSERT_TRUE(value && value->is_object());
    EXPECT_EQ(value->size(), 4u);
    EXPECT_EQ(*mirelo::readString(*value, "command"), "send");
    EXPECT_EQ(*mirelo::readString(*value, "connectionId"), send->connectionId);
    EXPECT_EQ(*mirelo::readString(*value, "requestId"), send->requestId);
    EXPECT_EQ(*mirelo::readString(*value, "data"), data);
  }
}

TEST(SendLine, UnescapesSlashesOnly) {
  std::string out = "left over";
  unescapeSlashes(R"(\/a\/\/b\/)", out);
  EXPECT_EQ(out, "/a//b/");
  unescapeSlashes("plain", out);
  EXPECT_EQ(out, "plain");
}

}  // namespace
}  // namespace nearby
