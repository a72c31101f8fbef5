#include "send_line.h"

#include <cstring>

#include "utf8.h"

namespace nearby {
namespace {

struct Cursor {
  const char* at;
  const char* end;
  const char* lastQuote = nullptr;  // FromEnd: the data's closing quote, the line's last

  void skipSpace() {
    while (at < end && (*at == ' ' || *at == '\t' || *at == '\r' || *at == '\n')) ++at;
  }
  bool take(char c) {
    skipSpace();
    if (at == end || *at != c) return false;
    ++at;
    return true;
  }
  // A string without escapes or control characters, valid UTF-8; the cursor is after its quote.
  std::optional<std::string_view> plainString() {
    if (!take('"')) return std::nullopt;
    const char* from = at;
    bool ascii = true;
    for (; at < end; ++at) {
      const auto c = static_cast<unsigned char>(*at);
      if (c == '"') break;
      if (c < 0x20 || c == '\\') return std::nullopt;
      if (c >= 0x80) ascii = false;
    }
    if (at == end) return std::nullopt;
    std::string_view text(from, static_cast<size_t>(at - from));
    ++at;
    if (!ascii && !mirelo::isValidUtf8(text)) return std::nullopt;
    return text;
  }
  // The data string: only "\/" escapes; its content is left to the Base64 decoder.
  std::optional<std::string_view> dataString(bool& escaped, bool& unscanned) {
    if (!take('"')) return std::nullopt;
    const char* from = at;
    if (lastQuote && lastQuote >= from) {
      escaped = false;
      unscanned = true;
      at = lastQuote + 1;
      return std::string_view(from, static_cast<size_t>(lastQuote - from));
    }
    const auto* quote = static_cast<const char*>(std::memchr(at, '"', static_cast<size_t>(end - at)));
    if (!quote) return std::nullopt;
    // Every backslash must start "\/", so none of them escapes the quote found.
    escaped = false;
    for (const char* p = from; (p = static_cast<const char*>(std::memchr(p, '\\', static_cast<size_t>(quote - p))));
         p += 2) {
      if (p + 1 >= quote || p[1] != '/') return std::nullopt;
      escaped = true;
    }
    at = quote + 1;
    return std::string_view(from, static_cast<size_t>(quote - from));
  }
};

}  // namespace

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The quote of `"}` at the end of the line, spaces allowed around the brace; else null.
const char* closingQuote(std::string_view line) {
  const char* at = line.data() + line.size();
  const char* begin = line.data();
  while (at > begin && isSpace(at[-1])) --at;
  if (at == begin || *--at != '}') return nullptr;
  while (at > begin && isSpace(at[-1])) --at;
  if (at == begin || at[-1] != '"') return nullptr;
  return at - 1;
}

}  // namespace

std::optional<SendLine> readSendLine(std::string_view line, DataScan scan) {
  Cursor in{line.data(), line.data() + line.size()};
  if (scan == DataScan::FromEnd) {
    in.lastQuote = closingQuote(line);
    if (!in.lastQuote) scan = DataScan::Full;
  }
  if (!in.take('{')) return std::nullopt;
  SendLine send;
  enum : unsigned { kCommand = 1, kConnection = 2, kRequest = 4, kData = 8 };
  unsigned seen = 0;
  do {
    const auto key = in.plainString();
    if (!key || !in.take(':')) return std::nullopt;
    unsigned member;
    if (*key == "command") {
      member = kCommand;
      const auto value = in.plainString();
      if (!value || *value != "send") return std::nullopt;
    } else if (*key == "connectionId") {
      member = kConnection;
      const auto value = in.plainString();
      if (!value) return std::nullopt;
      send.connectionId = *value;
    } else if (*key == "requestId") {
      member = kRequest;
      const auto value = in.plainString();
      if (!value) return std::nullopt;
      send.requestId = *value;
    } else if (*key == "data") {
      member = kData;
      const auto value = in.dataString(send.dataEscaped, send.dataUnscanned);
      if (!value) return std::nullopt;
      send.data = *value;
      in.lastQuote = nullptr;  // one data member; a second one is refused below
    } else {
      return std::nullopt;
    }
    if (seen & member) return std::nullopt;
    seen |= member;
  } while (in.take(','));
  if (!in.take('}') || seen != (kCommand | kConnection | kRequest | kData)) {
    // The data was not the last member: its end is to be found by scanning.
    return send.dataUnscanned ? readSendLine(line, DataScan::Full) : std::nullopt;
  }
  in.skipSpace();
  if (in.at != in.end) return std::nullopt;
  return send;
}

void unescapeSlashes(std::string_view data, std::string& out) {
  out.clear();
  for (size_t from = 0;;) {
    const size_t slash = data.find('\\', from);
    if (slash == std::string_view::npos) {
      out.append(data.substr(from));
      return;
    }
    out.append(data.substr(from, slash - from));
    from = slash + 1;  // the "/" after it is kept with the next run
  }
}

}  // namespace nearby
