#include "platform/openssl/openssl_cng.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/rsa_key_blob.h"

namespace veltomarn {
namespace {

using namespace cng;

constexpr uint32_t kAlgHandleHmacFlag = 0x8;
constexpr uint32_t kHashReusableFlag = 0x20;
constexpr uint32_t kSha256DigestBytes = 32;
constexpr uint32_t kSha256BlockBytes = 64;
// Written at the start of the caller's hash object buffer: the hash lives there, so a buffer that
// is released or overwritten while the hash is alive is detected at the next use.
constexpr uint64_t kHashObjectMagic = 0x4853414D48534148;  // "HASHMASH"

// The digest a PKCS #1 v1.5 signature names, or null for a name CNG does not know.
const EVP_MD* Pkcs1Digest(const WideString& name) {
    if (name == u"SHA1") return EVP_sha1();
    if (name == u"SHA256") return EVP_sha256();
    if (name == u"SHA384") return EVP_sha384();
    if (name == u"SHA512") return EVP_sha512();
    return nullptr;
}

// Appends `number` big-endian at its shortest (at least one byte).
void PutBigNumber(std::vector<uint8_t>& out, const BIGNUM* number) {
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(BN_num_bytes(number)));
    BN_bn2bin(number, out.data() + start);
}

}  // namespace

EVP_PKEY* RsaPublicKeyFromBlob(const uint8_t* blob, uint32_t size) {
    if (blob == nullptr) return nullptr;
    const std::optional<RsaPublicKeyParts> parts = DecodeRsaPublicBlob({blob, size});
    if (!parts) return nullptr;
    BIGNUM* e =
        BN_bin2bn(parts->exponent.data(), static_cast<int>(parts->exponent.size()), nullptr);
    BIGNUM* n = BN_bin2bn(parts->modulus.data(), static_cast<int>(parts->modulus.size()), nullptr);
    OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
    OSSL_PARAM* params = nullptr;
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    if (e != nullptr && n != nullptr && builder != nullptr && context != nullptr &&
        OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, n) == 1 &&
        OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, e) == 1 &&
        (params = OSSL_PARAM_BLD_to_param(builder)) != nullptr &&
        EVP_PKEY_fromdata_init(context) == 1) {
        EVP_PKEY_fromdata(context, &key, EVP_PKEY_PUBLIC_KEY, params);
    }
    EVP_PKEY_CTX_free(context);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(builder);
    BN_free(n);
    BN_free(e);
    return key;
}

std::vector<uint8_t> RsaPublicBlobFromKey(const EVP_PKEY* key) {
    std::vector<uint8_t> blob;
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return blob;
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) == 1) {
        std::vector<uint8_t> exponent;
        std::vector<uint8_t> modulus;
        PutBigNumber(exponent, e);
        PutBigNumber(modulus, n);
        blob = EncodeRsaPublicBlob(static_cast<uint32_t>(BN_num_bits(n)), exponent, modulus);
    }
    BN_free(n);
    BN_free(e);
    return blob;
}

// A provider, a hash object or a key. A hash keeps its state here; the caller's object buffer
// only carries a marker that proves it is still in place.
struct OpensslCng::Object {
    bool hash = false;
    bool key = false;
    WideString algorithm;           // a provider's algorithm identifier
    EVP_PKEY* publicKey = nullptr;  // an imported RSA public key
    EVP_MD_CTX* context = nullptr;
    uint8_t* object = nullptr;
    uint32_t objectSize = 0;
    bool reusable = false;
    bool finished = false;
    bool gcm = false;                // an AES provider set to GCM, or a key made by one
    std::vector<uint8_t> secretKey;  // a symmetric key's bytes

    Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    ~Object() {
        EVP_MD_CTX_free(context);
        EVP_PKEY_free(publicKey);
        if (!secretKey.empty()) OPENSSL_cleanse(secretKey.data(), secretKey.size());
    }

    bool HasMarker() const { return object != nullptr && objectSize >= 2 * sizeof(uint64_t); }
    void Mark(CngHandle self) {
        if (!HasMarker()) return;
        const auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(self));
        std::memcpy(object, &kHashObjectMagic, sizeof kHashObjectMagic);
        std::memcpy(object + sizeof kHashObjectMagic, &value, sizeof value);
    }
    bool Intact(CngHandle self) const {
        if (!HasMarker()) return true;
        uint64_t magic = 0;
        uint64_t value = 0;
        std::memcpy(&magic, object, sizeof magic);
        std::memcpy(&value, object + sizeof magic, sizeof value);
        return magic == kHashObjectMagic &&
               value == static_cast<uint64_t>(reinterpret_cast<uintptr_t>(self));
    }
    void Restart() {
        if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
            throw std::runtime_error("OpensslCng: SHA-256 unavailable");
        }
    }
};

OpensslCng::OpensslCng() = default;
OpensslCng::~OpensslCng() = default;

void OpensslCng::RtlSecureZeroMemory(void* memory, std::size_t size) {
    if (size != 0) OPENSSL_cleanse(memory, size);
}

NtStatus OpensslCng::BCryptGenRandom(CngHandle algorithm, uint8_t* buffer, uint32_t size,
                                     uint32_t flags) {
    if (algorithm != nullptr || flags != 2 || (buffer == nullptr && size != 0)) {
        return cng::kStatusInvalidParameter;
    }
    if (size == 0) return cng::kStatusSuccess;
    return RAND_bytes(buffer, static_cast<int>(size)) == 1 ? cng::kStatusSuccess
                                                           : cng::kStatusUnsuccessful;
}

OpensslCng::Object* OpensslCng::Find(CngHandle handle, bool hash) {
    const auto it = objects_.find(handle);
    return it != objects_.end() && it->second->hash == hash && !it->second->key ? it->second.get()
                                                                                : nullptr;
}

CngHandle OpensslCng::Add(std::unique_ptr<Object> object) {
    const auto handle = reinterpret_cast<CngHandle>(next_);
    next_ += 0x10;
    objects_.emplace(handle, std::move(object));
    return handle;
}

NtStatus OpensslCng::BCryptOpenAlgorithmProvider(CngHandle* algorithm, const WideChar* algorithmId,
                                                 const WideChar* implementation, uint32_t flags) {
    if (algorithm == nullptr || algorithmId == nullptr) return kStatusInvalidParameter;
    if ((flags & kAlgHandleHmacFlag) != 0) return kStatusNotSupported;  // not emulated
    if (flags != 0) return kStatusInvalidParameter;
    const WideString id = algorithmId;
    if (id != u"SHA256" && id != u"RSA" && id != u"AES") return kStatusNotFound;
    if (implementation != nullptr &&
        WideString(implementation) != u"Microsoft Primitive Provider") {
        return kStatusNotFound;
    }
    auto provider = std::make_unique<Object>();
    provider->algorithm = id;
    *algorithm = Add(std::move(provider));
    return kStatusSuccess;
}

NtStatus OpensslCng::BCryptCloseAlgorithmProvider(CngHandle algorithm, uint32_t flags) {
    (void)flags;  // no flags are defined; Windows ignores them
    if (Find(algorithm, false) == nullptr) return kStatusInvalidHandle;
    objects_.erase(algorithm);
    return kStatusSuccess;
}

NtStatus OpensslCng::BCryptGetProperty(CngHandle object, const WideChar* property, uint8_t* output,
                                       uint32_t outputSize, uint32_t* resultSize, uint32_t flags) {
    (void)flags;
    if (objects_.count(object) == 0) return kStatusInvalidHandle;
    if (property == nullptr || resultSize == nullptr) return kStatusInvalidParameter;
    std::vector<uint8_t> value;
    const auto dword = [&](uint32_t number) {
        value.resize(sizeof number);
        std::memcpy(value.data(), &number, sizeof number);
    };
    const WideString name = property;
    const bool aes = objects_.at(object)->algorithm == u"AES";
    if (name == u"ObjectLength") {
        dword(aes ? keyObjectLength_ : hashObjectLength_);
    } else if (name == u"HashDigestLength") {
        dword(kSha256DigestBytes);
    } else if (name == u"HashBlockLength") {
        dword(kSha256BlockBytes);
    } else if (name == u"AlgorithmName") {
        static constexpr WideChar kName[] = u"SHA256";
        value.resize(sizeof kName);
        std::memcpy(value.data(), kName, sizeof kName);
    } else {
        return kStatusNotSupported;
    }
    *resultSize = static_cast<uint32_t>(value.size());
    if (output == nullptr) return kStatusSuccess;  // a size query
    if (outputSize < value.size()) return kStatusBufferTooSmall;
    std::memcpy(output, value.data(), value.size());
    return kStatusSuccess;
}

NtStatus OpensslCng::BCryptCreateHash(CngHandle algorithm, CngHandle* hash, uint8_t* hashObject,
                                      uint32_t hashObjectSize, const uint8_t* secret,
                                      uint32_t secretSize, uint32_t flags) {
    (void)secret;  // ignored by a provider that is not an HMAC provider
    (void)secretSize;
    const Object* provider = Find(algorithm, false);
    if (provider == nullptr) return kStatusInvalidHandle;
    if (provider->algorithm != u"SHA256") return kStatusNotSupported;
    if (hash == nullptr || (flags & ~kHashReusableFlag) != 0) return kStatusInvalidParameter;
    if (hashObject == nullptr && hashObjectSize != 0) return kStatusInvalidParameter;
    // Without a buffer the provider allocates the object itself.
    if (hashObject != nullptr && hashObjectSize < hashObjectLength_) return kStatusBufferTooSmall;
    auto made = std::make_unique<Object>();
    made->hash = true;
    made->context = EVP_MD_CTX_new();
    if (made->context == nullptr) throw std::bad_alloc();
    made->Restart();
    made->object = hashObject;
    made->objectSize = hashObjectSize;
    made->reusable = (flags & kHashReusableFlag) != 0;
    Object& object = *made;
    const CngHandle handle = Add(std::move(made));
    object.Mark(handle);
    *hash = handle;
    return kStatusSuccess;
}

NtStatus OpensslCng::BCryptHashData(CngHandle hash, const uint8_t* input, uint32_t size,
                                    uint32_t flags) {
    Object* object = Find(hash, true);
    // A finished hash that was not made reusable cannot be used again.
    if (object == nullptr || !object->Intact(hash) || object->finished) {
        return kStatusInvalidHandle;
    }
    if (flags != 0 || (input == nullptr && size != 0)) return kStatusInvalidParameter;
    if (size != 0 && EVP_DigestUpdate(object->context, input, size) != 1) {
        throw std::runtime_error("OpensslCng: SHA-256 update failed");
    }
    if (meter_) meter_(size);
    return kStatusSuccess;
}

NtStatus OpensslCng::BCryptFinishHash(CngHandle hash, uint8_t* output, uint32_t size,
                                      uint32_t flags) {
    Object* object = Find(hash, true);
    if (object == nullptr || !object->Intact(hash) || object->finished) {
        return kStatusInvalidHandle;
    }
    if (flags != 0 || output == nullptr || size != kSha256DigestBytes) {
        return kStatusInvalidParameter;
    }
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(object->context, output, &length) != 1) {
        throw std::runtime_error("OpensslCng: SHA-256 final failed");
    }
    if (object->reusable) {
        object->Restart();
    } else {
        object->finished = true;
    }
    return kStatusSuccess;
}

NtStatus OpensslCng::BCryptDestroyHash(CngHandle hash) {
    const Object* object = Find(hash, true);
    if (object == nullptr || !object->Intact(hash)) return kStatusInvalidHandle;
    objects_.erase(hash);
    return kStatusSuccess;
}

NtStatus OpensslCng::BCryptImportKeyPair(CngHandle algorithm, CngHandle importKey,
                                         const WideChar* blobType, CngHandle* key,
                                         const uint8_t* input, uint32_t inputSize, uint32_t flags) {
    const Object* provider = Find(algorithm, false);
    if (provider == nullptr) return kStatusInvalidHandle;
    if (provider->algorithm != u"RSA" || importKey != nullptr || key == nullptr || flags != 0 ||
        blobType == nullptr || WideString(blobType) != u"RSAPUBLICBLOB") {
        return kStatusInvalidParameter;
    }
    EVP_PKEY* publicKey = RsaPublicKeyFromBlob(input, inputSize);
    if (publicKey == nullptr) return kStatusInvalidParameter;
    auto object = std::make_unique<Object>();
    object->key = true;
    object->publicKey = publicKey;
    *key = Add(std::move(object));
    return kStatusSuccess;
}

NtStatus OpensslCng::BCryptVerifySignature(CngHandle key, const WideChar* pkcs1HashAlgorithm,
                                           const uint8_t* hash, uint32_t hashSize,
                                           const uint8_t* signature, uint32_t signatureSize,
                                           uint32_t flags) {
    const auto it = objects_.find(key);
    if (it == objects_.end() || !it->second->key) return kStatusInvalidHandle;
    if (flags != kPadPkcs1 || pkcs1HashAlgorithm == nullptr || hash == nullptr ||
        signature == nullptr) {
        return kStatusInvalidParameter;
    }
    const EVP_MD* digest = Pkcs1Digest(pkcs1HashAlgorithm);
    if (digest == nullptr) return kStatusNotSupported;
    if (hashSize != static_cast<uint32_t>(EVP_MD_get_size(digest))) return kStatusInvalidParameter;
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(it->second->publicKey, nullptr);
    const bool verified = context != nullptr && EVP_PKEY_verify_init(context) == 1 &&
                          EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
                          EVP_PKEY_CTX_set_signature_md(context, digest) == 1 &&
                          EVP_PKEY_verify(context, signature, signatureSize, hash, hashSize) == 1;
    EVP_PKEY_CTX_free(context);
    return verified ? kStatusSuccess : kStatusInvalidSignature;
}

NtStatus OpensslCng::BCryptDestroyKey(CngHandle key) {
    const auto it = objects_.find(key);
    if (it == objects_.end() || !it->second->key) return kStatusInvalidHandle;
    objects_.erase(it);
    return kStatusSuccess;
}

NtStatus OpensslCng::BCryptSetProperty(CngHandle object, const WideChar* property,
                                       const uint8_t* input, uint32_t inputSize, uint32_t flags) {
    (void)flags;
    Object* provider = Find(object, false);
    if (provider == nullptr) return kStatusInvalidHandle;
    if (property == nullptr || input == nullptr) return kStatusInvalidParameter;
    if (WideString(property) != u"ChainingMode" || provider->algorithm != u"AES") {
        return kStatusNotSupported;
    }
    // The value is a UTF-16 string with its terminating zero.
    static constexpr WideChar kGcm[] = u"ChainingModeGCM";
    if (inputSize != sizeof kGcm || std::memcmp(input, kGcm, sizeof kGcm) != 0) {
        return kStatusNotSupported;
    }
    provider->gcm = true;
    return kStatusSuccess;
}

NtStatus OpensslCng::BCryptGenerateSymmetricKey(CngHandle algorithm, CngHandle* key,
                                                uint8_t* keyObject, uint32_t keyObjectSize,
                                                const uint8_t* secret, uint32_t secretSize,
                                                uint32_t flags) {
    const Object* provider = Find(algorithm, false);
    if (provider == nullptr) return kStatusInvalidHandle;
    if (provider->algorithm != u"AES" || key == nullptr || secret == nullptr || flags != 0) {
        return kStatusInvalidParameter;
    }
    if (secretSize != 16 && secretSize != 24 && secretSize != 32) return kStatusInvalidParameter;
    if (keyObject != nullptr && keyObjectSize < keyObjectLength_) return kStatusBufferTooSmall;
    auto made = std::make_unique<Object>();
    made->key = true;
    made->gcm = provider->gcm;
    made->secretKey.assign(secret, secret + secretSize);
    made->object = keyObject;
    made->objectSize = keyObjectSize;
    *key = Add(std::move(made));
    return kStatusSuccess;
}

NtStatus OpensslCng::BCryptDecrypt(CngHandle key, const uint8_t* input, uint32_t inputSize,
                                   const AuthenticatedCipherInfo* info, uint8_t* iv,
                                   uint32_t ivSize, uint8_t* output, uint32_t outputSize,
                                   uint32_t* result, uint32_t flags) {
    const auto it = objects_.find(key);
    if (it == objects_.end() || !it->second->key || it->second->secretKey.empty()) {
        return kStatusInvalidHandle;
    }
    const Object& object = *it->second;
    if (!object.gcm) return kStatusNotSupported;
    if (result == nullptr || info == nullptr || flags != 0 || iv != nullptr || ivSize != 0 ||
        (input == nullptr && inputSize != 0) || info->nonce == nullptr || info->nonceSize != 12 ||
        info->tag == nullptr || info->tagSize != 16 ||
        (info->authData == nullptr && info->authDataSize != 0)) {
        return kStatusInvalidParameter;
    }
    *result = inputSize;
    if (output == nullptr) return kStatusSuccess;  // a size query
    if (outputSize < inputSize) return kStatusBufferTooSmall;

    const EVP_CIPHER* cipher = object.secretKey.size() == 32   ? EVP_aes_256_gcm()
                               : object.secretKey.size() == 24 ? EVP_aes_192_gcm()
                                                               : EVP_aes_128_gcm();
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    if (context == nullptr) throw std::bad_alloc();
    int length = 0;
    bool ok =
        EVP_DecryptInit_ex(context, cipher, nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) == 1 &&
        EVP_DecryptInit_ex(context, nullptr, nullptr, object.secretKey.data(), info->nonce) == 1;
    if (ok && info->authDataSize != 0) {
        ok = EVP_DecryptUpdate(context, nullptr, &length, info->authData,
                               static_cast<int>(info->authDataSize)) == 1;
    }
    if (ok && inputSize != 0) {
        ok = EVP_DecryptUpdate(context, output, &length, input, static_cast<int>(inputSize)) == 1;
    }
    if (!ok) {
        EVP_CIPHER_CTX_free(context);
        throw std::runtime_error("OpensslCng: AES-GCM unavailable");
    }
    // The plaintext is in `output` now, authenticated or not.
    uint8_t tag[16];
    std::memcpy(tag, info->tag, sizeof tag);
    const bool authentic = EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_TAG, 16, tag) == 1 &&
                           EVP_DecryptFinal_ex(context, output + inputSize, &length) == 1;
    EVP_CIPHER_CTX_free(context);
    if (!authentic) return kStatusAuthTagMismatch;
    if (meter_) meter_(inputSize);
    return kStatusSuccess;
}

}  // namespace veltomarn
