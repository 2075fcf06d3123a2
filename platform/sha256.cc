#include "platform/sha256.h"

#include <openssl/evp.h>
#include <stdexcept>

namespace oakenmere::platform {

struct Sha256::Context {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
    void start() {
        if (ctx == nullptr || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) throw std::runtime_error("SHA-256 could not be started.");
    }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) { context_->start(); }
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(ByteView bytes) {
    if (bytes.empty()) return;
    if (EVP_DigestUpdate(context_->ctx, bytes.data(), bytes.size()) != 1) throw std::runtime_error("SHA-256 update failed.");
}

Sha256::Digest Sha256::finish() {
    Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_->ctx, digest.data(), &length) != 1 || length != digest.size())
        throw std::runtime_error("SHA-256 could not be finished.");
    context_->start();
    return digest;
}

std::string Sha256::finishHex() { return hex(finish()); }

std::string Sha256::hex(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(64);
    for (std::uint8_t b : digest) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0xF]);
    }
    return out;
}

std::string Sha256::hexOf(ByteView bytes) {
    Sha256 hasher;
    hasher.update(bytes);
    return hasher.finishHex();
}

std::string lowercasedChecksum(std::string_view checksum) {
    std::string out(checksum);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool isChecksumText(std::string_view checksum) noexcept {
    if (checksum.size() != 64) return false;
    for (char c : checksum) {
        bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit) return false;
    }
    return true;
}

}  // namespace oakenmere::platform
