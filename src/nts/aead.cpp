#include "nts/aead.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <cassert>
#include <stdexcept>

namespace pelldor::nts {
namespace {

// One cipher handle for the call, freed however it ends.
class Cipher {
public:
    explicit Cipher(const Key& key) {
        gnutls_datum_t datum{const_cast<unsigned char*>(key.data()), static_cast<unsigned>(key.size())};
        ok_ = gnutls_aead_cipher_init(&handle_, GNUTLS_CIPHER_AES_128_SIV, &datum) == 0;
    }
    ~Cipher() {
        if (ok_) gnutls_aead_cipher_deinit(handle_);
    }
    Cipher(const Cipher&) = delete;
    Cipher& operator=(const Cipher&) = delete;

    [[nodiscard]] gnutls_aead_cipher_hd_t get() const { return ok_ ? handle_ : nullptr; }

private:
    gnutls_aead_cipher_hd_t handle_{};
    bool ok_ = false;
};

}  // namespace

std::vector<std::uint8_t> Seal(const Key& key, std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> associated,
                               std::span<const std::uint8_t> plaintext) {
    // Our own nonces are never short: the library would abort on an empty one.
    assert(nonce.size() >= kLeastNonceBytes);
    const Cipher cipher(key);
    std::vector<std::uint8_t> sealed(plaintext.size() + kTagBytes);
    std::size_t size = sealed.size();
    // Only a library without AES-SIV fails here: the check cannot be made.
    if (cipher.get() == nullptr ||
        gnutls_aead_cipher_encrypt(cipher.get(), nonce.data(), nonce.size(), associated.data(), associated.size(), kTagBytes,
                                   plaintext.data(), plaintext.size(), sealed.data(), &size) != 0) {
        throw std::runtime_error("the TLS library cannot seal with AES-SIV-CMAC-256");
    }
    sealed.resize(size);
    return sealed;
}

std::optional<std::vector<std::uint8_t>> Open(const Key& key, std::span<const std::uint8_t> nonce,
                                              std::span<const std::uint8_t> associated, std::span<const std::uint8_t> sealed) {
    if (nonce.size() < kLeastNonceBytes || sealed.size() < kTagBytes) return std::nullopt;
    const Cipher cipher(key);
    std::vector<std::uint8_t> plaintext(sealed.size());
    std::size_t size = plaintext.size();
    if (cipher.get() == nullptr ||
        gnutls_aead_cipher_decrypt(cipher.get(), nonce.data(), nonce.size(), associated.data(), associated.size(), kTagBytes,
                                   sealed.data(), sealed.size(), plaintext.data(), &size) != 0) {
        return std::nullopt;
    }
    plaintext.resize(size);
    return plaintext;
}

void FillRandom(std::span<std::uint8_t> bytes) {
    if (gnutls_rnd(GNUTLS_RND_NONCE, bytes.data(), bytes.size()) != 0) {
        throw std::runtime_error("the TLS library gave no random bytes");
    }
}

}  // namespace pelldor::nts
