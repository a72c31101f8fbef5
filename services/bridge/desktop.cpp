#include "desktop.h"

#include <array>
#include <chrono>
#include <string_view>

#include "base64.h"
#include "payload.h"
#include "protocol/error.h"
#include "utf8.h"

namespace mirelo::services {
namespace {

constexpr size_t kMaxClipboardText = 1'048'576;
constexpr std::string_view kAssertionName = "Mirelo保持加密房间连接";
constexpr std::array<std::string_view, 4> kLegacyServices = {"Mirelo Safe Storage", "solvantio-mac Safe Storage",
                                                             "Solvantio Safe Storage", "Electron Safe Storage"};
// The keychain's own work for one lookup, over every name (a prompt's wait for the user not counted).
constexpr std::chrono::seconds kKeychainBound{10};

}  // namespace

Json clipboardText(platform::Pasteboard& pasteboard, const Json&) {
  auto text = pasteboard.text();
  return text ? *text : "";
}

Json clipboardWriteText(platform::Pasteboard& pasteboard, const Json& payload) {
  const std::string* text = readString(payload, "text");
  if (!text || text->size() > kMaxClipboardText) throw failure("剪贴板内容无效");
  platform::PasteboardItem item;
  for (std::string_view type : platform::kTextTypes) item.entries.emplace_back(std::string(type), *text);
  return pasteboard.write(std::move(item));
}

Json backgroundActivity(platform::PowerAssertions& power, uint32_t& activityAssertion, const Json& payload) {
  if (readBoolean(payload, "enabled").value_or(false)) {
    if (activityAssertion != 0) return true;  // one assertion at most
    const uint32_t assertion = power.create(kAssertionName);
    if (assertion == 0) throw failure("后台连接保活暂不可用");
    activityAssertion = assertion;
    return true;
  }
  if (activityAssertion != 0) {
    power.release(activityAssertion);
    activityAssertion = 0;
  }
  return false;
}

Json idle(platform::IdleTime& idleTime, const Json&) { return idleTime.secondsSinceLastInput(); }

Json emojiPanel(platform::CharacterPalette& palette, const Json&) {
  palette.show();
  return true;
}

platform::SecretBytes findLegacyPassword(platform::Keychain& keychain) {
  using Status = platform::Keychain::Status;
  platform::Deadline deadline = std::chrono::steady_clock::now() + kKeychainBound;
  for (std::string_view service : kLegacyServices) {
    auto lookup = keychain.findPassword(service, deadline);
    switch (lookup.status) {
      case Status::found: return std::move(lookup.secret);
      case Status::cancelled:
      case Status::authenticationFailed: throw failure("未完成钥匙串授权，旧记录未改动");
      case Status::unavailable:
        // Whatever a later name holds may be older than what this one has: nothing is returned.
        throw failure("没有找到旧版记录所需的钥匙串项目");
      case Status::noData:
      case Status::notFound: break;
    }
  }
  throw failure("没有找到旧版记录所需的钥匙串项目");
}

void legacyPassword(platform::Keychain& keychain, const Reply& reply) {
  const platform::SecretBytes secret = findLegacyPassword(keychain);
  std::string text = base64Encode(secret.view());
  reply.succeedSecret(text);
  platform::wipe(text);
}

}  // namespace mirelo::services
