#pragma once

#include <cstdint>

#include "json.h"
#include "platform/idle.h"
#include "platform/keyring.h"
#include "platform/palette.h"
#include "platform/pasteboard.h"
#include "platform/power.h"
#include "protocol/reply.h"

namespace mirelo::services {

// The plain-text clipboard commands.
Json clipboardText(platform::Pasteboard& pasteboard, const Json& payload);
Json clipboardWriteText(platform::Pasteboard& pasteboard, const Json& payload);

// Takes or releases the one power assertion, kept in `activityAssertion` (0 when none is held).
Json backgroundActivity(platform::PowerAssertions& power, uint32_t& activityAssertion, const Json& payload);

Json idle(platform::IdleTime& idleTime, const Json& payload);

Json emojiPanel(platform::CharacterPalette& palette, const Json& payload);

// The legacy encryption password: the first of the legacy service names with data in the keychain.
// Throws the command's error when the user declines or nothing is found.
platform::SecretBytes findLegacyPassword(platform::Keychain& keychain);
// Replies with it in Base64; every copy of it is wiped once the reply is written.
void legacyPassword(platform::Keychain& keychain, const Reply& reply);

}  // namespace mirelo::services
