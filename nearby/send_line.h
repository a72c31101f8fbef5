#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nearby {

// The members of a "send" line read where they lie, without building a JSON value: the bulk of
// the input is sends of up to a megabyte of Base64, which the general reader would copy twice.
struct SendLine {
  std::string_view connectionId, requestId;
  std::string_view data;  // the text between the quotes, "\/" escapes still in it
  bool dataEscaped = false;
  // The data was taken up to the line's last quote, unscanned (DataScan::FromEnd): the line is
  // only this reader's if the text decodes as Base64, which holds neither a quote nor a backslash.
  bool dataUnscanned = false;
};

// How the data's closing quote is found. Full scans the data for it and for its escapes. FromEnd,
// for a line whose last member is the data (as hosts write them), takes the line's last quote
// instead and leaves the data unscanned; any other line is scanned in full.
enum class DataScan { Full, FromEnd };

// A send this reader vouches for: `line` is one JSON object whose members are exactly "command"
// (the string "send"), "connectionId", "requestId" and "data", each once and each a string, in any
// order, with JSON whitespace anywhere between tokens. The three short strings hold no escapes and
// no control characters and are valid UTF-8; "data" holds no escape but "\/". Anything else
// (another member, a repeated one, another type, another escape) is left to the general reader.
//
// The content of "data" is NOT checked here: the caller must refuse the line unless the text
// decodes as Base64, which proves it is valid string content (its alphabet is printable ASCII).
//
// With DataScan::FromEnd a result with dataUnscanned set is this reader's only when its data
// decodes; else the caller reads the line again with DataScan::Full. A decoded data holds no quote
// and no backslash, so the full scan would have found the same quote and no escape.
std::optional<SendLine> readSendLine(std::string_view line, DataScan scan = DataScan::Full);

// `data` with its "\/" escapes undone, into `out` (reused, so it keeps its allocation).
void unescapeSlashes(std::string_view data, std::string& out);

}  // namespace nearby
