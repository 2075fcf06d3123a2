#pragma once
// SHA-256 through OpenSSL's EVP interface, which picks the CPU's SHA extensions when present.
#include <array>
#include <memory>
#include <string>

#include "platform/bytes.h"

namespace oakenmere::platform {

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;

    void update(ByteView bytes);
    // Ends this hash; the object starts over for the next use.
    Digest finish();
    std::string finishHex();

    static std::string hex(const Digest& digest);
    static std::string hexOf(ByteView bytes);

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

// Checksums from callers and files are compared in lower case.
std::string lowercasedChecksum(std::string_view checksum);
// 64 hexadecimal digits, in either case.
bool isChecksumText(std::string_view checksum) noexcept;

}  // namespace oakenmere::platform
