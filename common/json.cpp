#include "json.h"

#include <simdjson.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "utf8.h"

namespace mirelo {

struct JsonReader::Impl {
  simdjson::dom::parser parser;
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
    case element_type::STRING:
      return Json(std::string(std::string_view(element)));
    case element_type::INT64:
      return Json(int64_t(element));
    case element_type::UINT64:
      return Json(uint64_t(element));
    case element_type::DOUBLE:
      return Json(double(element));
    case element_type::BOOL:
      return Json(bool(element));
    case element_type::NULL_VALUE:
      return Json(nullptr);
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

// Sized first, then filled: long texts (a Base64 body has a "/" every 64 characters or so) are
// written without reallocating or appending piece by piece.
void writeString(std::string& out, const std::string& s) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t extra = 0;
  for (unsigned char c : s) extra += kEscape[c];
  const size_t start = out.size();
  out.resize(start + s.size() + extra + 2);
  char* p = out.data() + start;
  *p++ = '"';
  if (extra == 0) {
    std::memcpy(p, s.data(), s.size());
    p += s.size();
  } else {
    for (unsigned char c : s) {
      if (!kEscape[c]) {
        *p++ = static_cast<char>(c);
        continue;
      }
      *p++ = '\\';
      switch (c) {
        case '"': *p++ = '"'; break;
        case '\\': *p++ = '\\'; break;
        case '/': *p++ = '/'; break;
        case '\b': *p++ = 'b'; break;
        case '\f': *p++ = 'f'; break;
        case '\n': *p++ = 'n'; break;
        case '\r': *p++ = 'r'; break;
        case '\t': *p++ = 't'; break;
        default:
          *p++ = 'u';
          *p++ = '0';
          *p++ = '0';
          *p++ = kHex[c >> 4];
          *p++ = kHex[c & 15];
      }
    }
  }
  *p = '"';
}

bool writeNumber(std::string& out, double d) {
  if (!std::isfinite(d)) return false;
  char buffer[32];
  // Whole numbers print without a fraction, as the host's JSON reader expects of counts.
  if (d == std::trunc(d) && std::fabs(d) < 9007199254740992.0) {
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, static_cast<int64_t>(d));
    out.append(buffer, end);
    return true;
  }
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
  if (ec != std::errc()) return false;
  out.append(buffer, end);
  return true;
}

bool write(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, item] : value.items()) {  // std::map: ascending byte order
        if (!first) out.push_back(',');
        first = false;
        if (!isValidUtf8(key)) return false;
        writeString(out, key);
        out.push_back(':');
        if (!write(out, item)) return false;
      }
      out.push_back('}');
      return true;
    }
    case Json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& item : value) {
        if (!first) out.push_back(',');
        first = false;
        if (!write(out, item)) return false;
      }
      out.push_back(']');
      return true;
    }
    case Json::value_t::string: {
      const auto& s = value.get_ref<const std::string&>();
      if (!isValidUtf8(s)) return false;
      writeString(out, s);
      return true;
    }
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return true;
    case Json::value_t::number_integer: {
      char buffer[24];
      auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value.get<int64_t>());
      out.append(buffer, end);
      return true;
    }
    case Json::value_t::number_unsigned: {
      char buffer[24];
      auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value.get<uint64_t>());
      out.append(buffer, end);
      return true;
    }
    case Json::value_t::number_float:
      return writeNumber(out, value.get<double>());
    case Json::value_t::null:
      out += "null";
      return true;
    case Json::value_t::binary:
    case Json::value_t::discarded:
      return false;
  }
  return false;
}

}  // namespace

std::optional<Json> JsonReader::parse(const char* data, size_t size, size_t capacity) {
  if (capacity < size + kPadding) return parse(std::string_view(data, size));
  if (!impl_) impl_.reset(new Impl);
  simdjson::dom::element root;
  if (impl_->parser.parse(reinterpret_cast<const uint8_t*>(data), size, false).get(root)) return std::nullopt;
  return convert(root);
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
    error = simdjson::error_message(code);
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

std::optional<std::string> writeJson(const Json& value) {
  std::string out;
  if (!write(out, value)) return std::nullopt;
  return out;
}

}  // namespace mirelo
