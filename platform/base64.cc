#include "platform/base64.h"

#include <openssl/evp.h>

namespace oakenmere::platform {

std::string base64Encode(ByteView bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(written));
    return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    // EVP_DecodeBlock tolerates surrounding blanks and counts padding as zero bytes, so the
    // padding is measured here and the result is checked by encoding it again.
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = (text.size() >= 2 && text[text.size() - 2] == '=') ? 2 : 1;
    Bytes out(text.size() / 4 * 3);
    int written = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (written < 0 || static_cast<std::size_t>(written) != out.size()) return std::nullopt;
    out.resize(out.size() - padding);
    if (base64Encode(out) != text) return std::nullopt;
    return out;
}

}  // namespace oakenmere::platform
