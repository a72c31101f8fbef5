#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mirelo {

using Json = nlohmann::json;

// Strict JSON reader. The whole text must be one valid JSON value; nothing is read lazily.
// Requires `capacity - size >= kPadding` readable bytes after the text, so a caller
// holding a large buffer need not copy it. Duplicate keys: the last one wins.
class JsonReader {
 public:
  static constexpr size_t kPadding = 64;

  std::optional<Json> parse(const char* data, size_t size, size_t capacity);
  // The same in two steps, so a caller can free the text between them: `load` validates and
  // parses into the reader's own buffers (false for invalid JSON); `take` builds the value.
  bool load(const char* data, size_t size, size_t capacity);
  Json take();
  // After a successful `load`, before `take`: the loaded value's top-level member `key` when the
  // value is an object and that member a string (the last of duplicates, as `take` keeps), without
  // building anything else. Valid until the next `load`.
  std::optional<std::string_view> loadedString(std::string_view key) const;
  std::optional<Json> parse(std::string_view text);  // copies into a padded buffer
  // The same, with the parser's own description of what is wrong when the text is not JSON.
  std::optional<Json> parse(std::string_view text, std::string& error);

  // Frees the parser's buffers once they have grown past `bytes` (after an exceptional input).
  void trim(size_t bytes);

 private:
  struct Impl;
  struct ImplDeleter {
    void operator()(Impl*) const;
  };
  std::unique_ptr<Impl, ImplDeleter> impl_;
};

// Compact JSON writer: no whitespace, object keys in ascending byte order, non-ASCII written as
// raw UTF-8, "/" escaped as "\/". Returns nothing (and never a partial text) when a value cannot be
// written: a string that is not valid UTF-8, or a number that is not finite.
std::optional<std::string> writeJson(const Json& value);

class BlockBuffer;

// The same appended to `out` (a reply line); false when the value cannot be written, and what was
// appended is then to be dropped.
bool writeJson(const Json& value, BlockBuffer& out);

// Bytes the writer writes as the JSON string of their Base64, after the prefix: encoded straight
// into the line, so a large value has no string of its Base64 and no second copy of the line.
enum class Base64Prefix : uint8_t { none = 0, pngDataUrl = 1 /* "data:image/png;base64," */ };
Json base64Value(std::vector<uint8_t> bytes, Base64Prefix prefix = Base64Prefix::none);

// Appends `text` as `writeJson` writes a string (quotes included), for lines assembled by hand;
// false, with nothing appended, when it is not valid UTF-8.
bool appendJsonString(std::string& out, std::string_view text);

// One string member of a line head.
struct JsonMember {
  std::string_view key;
  std::string_view text;
};

// Appends the head of a line assembled by hand around one large value, as the writer would write
// it: `{"a":"…",…,"open":`. `before` are the string members whose keys sort before `open`, in the
// writer's key order; keys are plain ASCII needing no escape. False, with nothing appended, when a
// text is not valid UTF-8. The caller writes the value, then the members after it and the `}`.
bool appendLineHead(std::string& out, std::initializer_list<JsonMember> before, std::string_view open);

}  // namespace mirelo
