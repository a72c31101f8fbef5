#pragma once

// A pasteboard in memory that reads as the X one does: each item is a map of type to bytes, plain
// text is taken from the first text type the first item has (the X pasteboard's order of
// preference), file URLs from its `text/uri-list`. tests/platform/pasteboard_contract_test.cpp runs
// the same cases against this and the real pasteboard, so the two agree.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pasteboard.h"
#include "utf8.h"

namespace mirelo::services::testing {

using FakeOffer = std::map<std::string, std::string, std::less<>>;  // type, bytes

class FakeItem final : public platform::Pasteboard::Item {
 public:
  explicit FakeItem(FakeOffer data) : data_(std::move(data)) {}
  std::optional<std::string> data(std::string_view type, size_t limit) override {
    const auto found = data_.find(type);
    if (found == data_.end() || found->second.size() > limit) return std::nullopt;
    return found->second;
  }

 private:
  FakeOffer data_;
};

class FakePasteboard final : public platform::Pasteboard {
 public:
  std::vector<FakeOffer> contents;  // what another program (or `write`) put there
  bool refuse = false;  // `write` fails, as without an X server

  std::vector<std::unique_ptr<Item>> items() override {
    std::vector<std::unique_ptr<Item>> list;
    for (const FakeOffer& item : contents) list.push_back(std::make_unique<FakeItem>(item));
    return list;
  }

  std::vector<std::string> fileUrls() override {
    std::vector<std::string> urls;
    const std::string* list = first(platform::kUriListType);
    for (size_t start = 0; list && start < list->size();) {
      size_t end = list->find('\n', start);
      if (end == std::string::npos) end = list->size();
      std::string line = list->substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.starts_with("file://")) urls.push_back(std::move(line));
      start = end + 1;
    }
    return urls;
  }

  // UTF-8 types repaired; the older ones (STRING, TEXT, text/plain) kept when well-formed UTF-8,
  // else read as ISO 8859-1.
  std::optional<std::string> text() override {
    for (std::string_view type : {"UTF8_STRING", "text/plain;charset=utf-8", "STRING", "TEXT", "text/plain"}) {
      const std::string* bytes = first(type);
      if (!bytes) continue;
      if (type == "UTF8_STRING" || type.starts_with("text/plain;") || isValidUtf8(*bytes)) {
        return replaceInvalidUtf8(*bytes);
      }
      std::string utf8;
      for (const char c : *bytes) {
        const auto byte = static_cast<unsigned char>(c);
        utf8.push_back(byte < 0x80 ? c : static_cast<char>(0xC0 | (byte >> 6)));
        if (byte >= 0x80) utf8.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
      }
      return utf8;
    }
    return std::nullopt;
  }

  bool write(platform::PasteboardItem item) override {
    if (refuse) return false;
    contents.assign(1, FakeOffer(item.entries.begin(), item.entries.end()));
    return true;
  }

 private:
  // The bytes the first item holds under `type` (the X pasteboard has one item at most).
  const std::string* first(std::string_view type) const {
    if (contents.empty()) return nullptr;
    const auto found = contents.front().find(type);
    return found == contents.front().end() ? nullptr : &found->second;
  }
};

}  // namespace mirelo::services::testing
