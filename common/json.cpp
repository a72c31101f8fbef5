#include "json.h"

#include <simdjson.h>

#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "base64.h"
#include "block_pool.h"
#include "utf8.h"

namespace mirelo {

struct JsonReader::Impl {
  simdjson::dom::parser parser;
  simdjson::dom::element loaded;
  std::optional<Json> fallback;  // a value simdjson could not hold (numbers past 64 bits)
  std::string scratch;
};

void JsonReader::ImplDeleter::operator()(Impl* impl) const { delete impl; }

namespace {

static_assert(JsonReader::kPadding >= simdjson::SIMDJSON_PADDING);

Json convert(simdjson::dom::element element) {
  using simdjson::dom::element_type;
  switch (element.type()) {
    case element_type::OBJECT: {
      Json object = Json::object();
      for (auto field : simdjson::dom::object(element)) {
        object[std::string(field.key)] = convert(field.value);
      }
      return object;
    }
    case element_type::ARRAY: {
      Json array = Json::array();
      for (auto item : simdjson::dom::array(element)) array.push_back(convert(item));
      return array;
    }
    case element_type::STRING: return Json(std::string(std::string_view(element)));
    case element_type::INT64: return Json(int64_t(element));
    case element_type::UINT64: return Json(uint64_t(element));
    case element_type::DOUBLE: return Json(double(element));
    case element_type::BOOL: return Json(bool(element));
    case element_type::NULL_VALUE: return Json(nullptr);
  }
  return Json();
}

// Extra bytes each byte takes when written inside a string: 0 as itself, 1 for a two-character
// escape, 5 for \u00XX.
constexpr std::array<uint8_t, 256> makeEscapeTable() {
  std::array<uint8_t, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 5;
  for (char c : {'\b', '\f', '\n', '\r', '\t', '"', '\\', '/'}) table[static_cast<unsigned char>(c)] = 1;
  return table;
}

constexpr auto kEscape = makeEscapeTable();

// Whether any of the 8 bytes of `w` must be escaped: below 0x20, '"', '\\' or '/'.
bool anyToEscape(uint64_t w) {
  constexpr uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
  const auto zeroByte = [](uint64_t v) { return (v - ones) & ~v & highs; };
  return ((w - ones * 0x20) & ~w & highs) | zeroByte(w ^ (ones * '"')) | zeroByte(w ^ (ones * '\\')) |
         zeroByte(w ^ (ones * '/'));
}

// The writer appends to a std::string or to a BlockBuffer (a reply line: pooled memory, never
// zero-filled).
void put(std::string& out, char c) { out.push_back(c); }
void put(std::string& out, std::string_view bytes) { out.append(bytes); }
void reserveMore(std::string& out, size_t count) { out.reserve(out.size() + count); }
void putBase64(std::string& out, std::string_view bytes) {
  const size_t at = out.size();
  out.resize(at + base64EscapedBound(bytes.size()));
  out.resize(at + base64EncodeEscaped(bytes, out.data() + at));
}
void put(BlockBuffer& out, char c) { out.append(std::string_view(&c, 1)); }
void put(BlockBuffer& out, std::string_view bytes) { out.append(bytes); }
void reserveMore(BlockBuffer& out, size_t count) { out.reserve(out.size() + count); }
void putBase64(BlockBuffer& out, std::string_view bytes) {
  out.reserve(out.size() + base64EscapedBound(bytes.size()));
  out.commit(base64EncodeEscaped(bytes, out.end()));
}

// Runs without escapes are found 8 bytes at a time and copied whole: long texts (megabytes of
// Base64) are written at memory speed.
template <typename Out>
void writeString(Out& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  reserveMore(out, s.size() + s.size() / 16 + 2);
  put(out, '"');
  const char* data = s.data();
  const size_t size = s.size();
  size_t run = 0, i = 0;
  while (i < size) {
    if (i + 8 <= size) {
      uint64_t word;
      std::memcpy(&word, data + i, 8);
      if (!anyToEscape(word)) {
        i += 8;
        continue;
      }
    }
    const unsigned char c = static_cast<unsigned char>(data[i]);
    if (!kEscape[c]) {
      ++i;
      continue;
    }
    put(out, std::string_view(data + run, i - run));
    run = ++i;
    switch (c) {
      case '"': put(out, "\\\""); break;
      case '\\': put(out, "\\\\"); break;
      case '/': put(out, "\\/"); break;
      case '\b': put(out, "\\b"); break;
      case '\f': put(out, "\\f"); break;
      case '\n': put(out, "\\n"); break;
      case '\r': put(out, "\\r"); break;
      case '\t': put(out, "\\t"); break;
      default:
        put(out, "\\u00");
        put(out, kHex[c >> 4]);
        put(out, kHex[c & 15]);
    }
  }
  put(out, std::string_view(data + run, size - run));
  put(out, '"');
}

template <typename Out>
bool writeNumber(Out& out, double d) {
  if (!std::isfinite(d)) return false;
  char buffer[32];
  // Whole numbers print without a fraction, as the host's JSON reader expects of counts. Past
  // 2^53 they are written with an exponent: a plain integer of 20 digits or more is one that
  // readers with 64-bit integers refuse, or read as a different number.
  if (d == std::trunc(d) && std::fabs(d) < 9007199254740992.0) {
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, static_cast<int64_t>(d));
    put(out, std::string_view(buffer, end - buffer));
    return true;
  }
  auto [end, ec] = d == std::trunc(d) ? std::to_chars(buffer, buffer + sizeof buffer, d, std::chars_format::scientific)
                                      : std::to_chars(buffer, buffer + sizeof buffer, d);
  if (ec != std::errc()) return false;
  put(out, std::string_view(buffer, end - buffer));
  return true;
}

template <typename Out>
bool write(Out& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::object: {
      put(out, '{');
      bool first = true;
      for (const auto& [key, item] : value.items()) {  // std::map: ascending byte order
        if (!first) put(out, ',');
        first = false;
        if (!isValidUtf8(key)) return false;
        writeString(out, key);
        put(out, ':');
        if (!write(out, item)) return false;
      }
      put(out, '}');
      return true;
    }
    case Json::value_t::array: {
      put(out, '[');
      bool first = true;
      for (const auto& item : value) {
        if (!first) put(out, ',');
        first = false;
        if (!write(out, item)) return false;
      }
      put(out, ']');
      return true;
    }
    case Json::value_t::string: {
      const auto& s = value.get_ref<const std::string&>();
      if (!isValidUtf8(s)) return false;
      writeString(out, s);
      return true;
    }
    case Json::value_t::boolean: put(out, value.get<bool>() ? "true" : "false"); return true;
    case Json::value_t::number_integer: {
      char buffer[24];
      auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value.get<int64_t>());
      put(out, std::string_view(buffer, end - buffer));
      return true;
    }
    case Json::value_t::number_unsigned: {
      char buffer[24];
      auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value.get<uint64_t>());
      put(out, std::string_view(buffer, end - buffer));
      return true;
    }
    case Json::value_t::number_float: return writeNumber(out, value.get<double>());
    case Json::value_t::null: put(out, "null"); return true;
    case Json::value_t::binary: {
      const auto& bytes = value.get_binary();
      put(out, '"');
      if (bytes.has_subtype() && bytes.subtype() == static_cast<uint64_t>(Base64Prefix::pngDataUrl)) {
        put(out, "data:image\\/png;base64,");
      } else if (bytes.has_subtype() && bytes.subtype() != static_cast<uint64_t>(Base64Prefix::none)) {
        return false;
      }
      putBase64(out, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
      put(out, '"');
      return true;
    }
    case Json::value_t::discarded: return false;
  }
  return false;
}

}  // namespace

std::optional<Json> JsonReader::parse(const char* data, size_t size, size_t capacity) {
  if (capacity < size + kPadding) return parse(std::string_view(data, size));
  if (!load(data, size, capacity)) return std::nullopt;
  return take();
}

namespace {

// A JSON number token: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool isNumberToken(std::string_view t) {
  size_t i = 0;
  const auto digits = [&] {
    const size_t from = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i > from;
  };
  if (i < t.size() && t[i] == '-') ++i;
  if (i < t.size() && t[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < t.size() && t[i] == '.' && (++i, !digits())) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == t.size();
}

// Numbers past the range of a double ("1e400") become the largest double of their sign, as
// numeric options are clamped; everything else is left as it is, tokens that are not valid
// numbers included, so the parse that follows stays as strict.
std::string clampHugeNumbers(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {
      const size_t from = i++;
      while (i < text.size() && text[i] != '"') i += text[i] == '\\' ? 2 : 1;
      i = std::min(i + 1, text.size());
      out.append(text.substr(from, i - from));
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      const size_t from = i;
      while (i < text.size() && (std::strchr("0123456789+-.eE", text[i]) && text[i] != '\0')) ++i;
      const std::string_view token = text.substr(from, i - from);
      if (isNumberToken(token) && !std::isfinite(std::strtod(std::string(token).c_str(), nullptr))) {
        out += token[0] == '-' ? "-1.7976931348623157e308" : "1.7976931348623157e308";
      } else {
        out.append(token);
      }
    } else {
      out.push_back(c);
      ++i;
    }
  }
  return out;
}

// simdjson refuses integers past 64 bits and numbers past the range of a double, which are valid
// JSON. nlohmann's reader takes the former as doubles; it is much slower, so it only reads what
// simdjson refused for a number.
std::optional<Json> parseBigNumbers(const char* data, size_t size, simdjson::error_code code) {
  if (code != simdjson::NUMBER_ERROR && code != simdjson::NUMBER_OUT_OF_RANGE) return std::nullopt;
  const std::string text = clampHugeNumbers(std::string_view(data, size));
  Json value = Json::parse(text, nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

}  // namespace

bool JsonReader::load(const char* data, size_t size, size_t capacity) {
  if (capacity < size + kPadding) return false;
  if (!impl_) impl_.reset(new Impl);
  impl_->fallback.reset();
  const auto code = impl_->parser.parse(reinterpret_cast<const uint8_t*>(data), size, false).get(impl_->loaded);
  if (!code) return true;
  impl_->fallback = parseBigNumbers(data, size, code);
  return impl_->fallback.has_value();
}

Json JsonReader::take() {
  if (impl_->fallback) {
    Json value = std::move(*impl_->fallback);
    impl_->fallback.reset();
    return value;
  }
  return convert(impl_->loaded);
}

std::optional<std::string_view> JsonReader::loadedString(std::string_view key) const {
  if (impl_->fallback) {
    if (!impl_->fallback->is_object()) return std::nullopt;
    const auto it = impl_->fallback->find(key);
    if (it == impl_->fallback->end() || !it->is_string()) return std::nullopt;
    return std::string_view(it->get_ref<const std::string&>());
  }
  if (impl_->loaded.type() != simdjson::dom::element_type::OBJECT) return std::nullopt;
  std::optional<simdjson::dom::element> last;
  for (auto field : simdjson::dom::object(impl_->loaded)) {
    if (field.key == key) last = field.value;
  }
  if (!last || last->type() != simdjson::dom::element_type::STRING) return std::nullopt;
  return std::string_view(*last);
}

std::optional<Json> JsonReader::parse(std::string_view text, std::string& error) {
  if (!impl_) impl_.reset(new Impl);
  auto& scratch = impl_->scratch;
  scratch.assign(text);
  const size_t size = scratch.size();
  scratch.resize(size + kPadding);
  simdjson::dom::element root;
  std::optional<Json> result;
  if (const auto code = impl_->parser.parse(reinterpret_cast<const uint8_t*>(scratch.data()), size, false).get(root)) {
    result = parseBigNumbers(scratch.data(), size, code);
    if (!result) error = simdjson::error_message(code);
  } else {
    result = convert(root);
  }
  if (scratch.capacity() > (1u << 20)) std::string().swap(scratch);
  return result;
}

std::optional<Json> JsonReader::parse(std::string_view text) {
  std::string error;
  return parse(text, error);
}

void JsonReader::trim(size_t bytes) {
  if (impl_ && impl_->parser.capacity() > bytes) impl_.reset();
}

bool appendJsonString(std::string& out, std::string_view text) {
  if (!isValidUtf8(text)) return false;
  writeString(out, text);
  return true;
}

bool appendLineHead(std::string& out, std::initializer_list<JsonMember> before, std::string_view open) {
  const size_t start = out.size();
  out.push_back('{');
  std::string_view previous;
  for (const JsonMember& member : before) {
    assert(previous < member.key && member.key < open && "members in the writer's key order");
    previous = member.key;
    out.append("\"").append(member.key).append("\":");
    if (!appendJsonString(out, member.text)) {
      out.resize(start);
      return false;
    }
    out.push_back(',');
  }
  out.append("\"").append(open).append("\":");
  return true;
}

std::optional<std::string> writeJson(const Json& value) {
  std::string out;
  if (!write(out, value)) return std::nullopt;
  return out;
}

bool writeJson(const Json& value, BlockBuffer& out) { return write(out, value); }

Json base64Value(std::vector<uint8_t> bytes, Base64Prefix prefix) {
  return Json::binary(std::move(bytes), static_cast<uint64_t>(prefix));
}

}  // namespace mirelo
