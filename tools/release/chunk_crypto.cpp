#include "release/chunk_crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>

#include "release/secret_memory.h"
#include "release/tool_error.h"

namespace veltomarn::release {

void RandomBytes(uint8_t* bytes, std::size_t count) {
    if (RAND_bytes(bytes, static_cast<int>(count)) != 1) {
        Refuse("the system random generator failed; nothing was written");
    }
}

void Sha256Stream::Deleter::operator()(EVP_MD_CTX* context) const {
    EVP_MD_CTX_free(context);
}

Sha256Stream::Sha256Stream() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
        Refuse("SHA-256 is not available from OpenSSL");
    }
}

void Sha256Stream::Update(const uint8_t* data, std::size_t size) {
    if (EVP_DigestUpdate(context_.get(), data, size) != 1) Refuse("SHA-256 failed");
}

Sha256Digest Sha256Stream::Finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1 || length != 32) {
        Refuse("SHA-256 failed");
    }
    return digest;
}

void ChunkBuffer::Wipe() {
    OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

void ChunkSealer::Deleter::operator()(EVP_CIPHER_CTX* context) const {
    EVP_CIPHER_CTX_free(context);
}

ChunkSealer::ChunkSealer(const PayloadKeyMaterial& key) : context_(EVP_CIPHER_CTX_new()) {
    if (!context_ ||
        EVP_EncryptInit_ex(context_.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(context_.get(), EVP_CTRL_GCM_SET_IVLEN, kChunkNonceBytes, nullptr) !=
            1 ||
        EVP_EncryptInit_ex(context_.get(), nullptr, nullptr, key.bytes().data(), nullptr) != 1) {
        Refuse("AES-256-GCM is not available from OpenSSL");
    }
}

const uint8_t* ChunkSealer::Seal(const std::vector<uint8_t>& aad, const uint8_t* plaintext,
                                 std::size_t length,
                                 std::array<uint8_t, kChunkRecordBytes>& record) {
    uint8_t* ciphertext = ciphertext_.data();
    const ChunkNonce nonce = FreshNonce();
    int produced = 0;
    int finished = 0;
    std::array<uint8_t, kChunkTagBytes> tag{};
    bool ok = EVP_EncryptInit_ex(context_.get(), nullptr, nullptr, nullptr, nonce.data()) == 1 &&
              EVP_EncryptUpdate(context_.get(), nullptr, &produced, aad.data(),
                                static_cast<int>(aad.size())) == 1;
    produced = 0;
    if (ok && length > 0) {
        ok = EVP_EncryptUpdate(context_.get(), ciphertext, &produced, plaintext,
                               static_cast<int>(length)) == 1;
    }
    ok = ok && EVP_EncryptFinal_ex(context_.get(), ciphertext + produced, &finished) == 1 &&
         static_cast<std::size_t>(produced + finished) == length &&
         EVP_CIPHER_CTX_ctrl(context_.get(), EVP_CTRL_GCM_GET_TAG, kChunkTagBytes, tag.data()) == 1;
    if (!ok) Refuse("AES-256-GCM encryption failed; nothing was written");
    std::copy(nonce.begin(), nonce.end(), record.begin());
    std::copy(tag.begin(), tag.end(), record.begin() + kChunkNonceBytes);
    for (std::size_t k = 0; k < 4; ++k) {
        record[kChunkNonceBytes + kChunkTagBytes + k] = static_cast<uint8_t>(length >> (8 * k));
    }
    return ciphertext;
}

ChunkNonce ChunkSealer::FreshNonce() {
    ChunkNonce nonce{};
    do {
        RandomBytes(nonce.data(), nonce.size());
    } while (!used_.insert(nonce).second);
    return nonce;
}

}  // namespace veltomarn::release
