#pragma once
// Byte strings in JSON records are standard Base64 with padding.
#include <optional>
#include <string>

#include "platform/bytes.h"

namespace oakenmere::platform {

std::string base64Encode(ByteView bytes);
// nullopt for anything that is not canonical padded Base64.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace oakenmere::platform
