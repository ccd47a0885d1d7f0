#pragma once

// The crypto provider (CNG) and the wiping of secrets.

#include <functional>

#include "platform/seam_types.h"

namespace veltomarn {

// NT_SUCCESS: a negative status is a failure.
inline bool NtSuccess(NtStatus status) {
    return status >= 0;
}

class Crypto {
  public:
    virtual ~Crypto() = default;

    // Not a CNG call: how a long run shows progress and is ended between chunks. From now on
    // `meter` is called with the byte count of every BCryptHashData and BCryptDecrypt that
    // succeeded, after it returned; it may throw to end the run there. Empty: none.
    virtual void SetWorkMeter(std::function<void(uint64_t)> meter) = 0;

    // Overwrites `size` bytes with zeros in a way the compiler never drops.
    virtual void RtlSecureZeroMemory(void* memory, std::size_t size) = 0;

    virtual NtStatus BCryptOpenAlgorithmProvider(CngHandle* algorithm, const WideChar* algorithmId,
                                                 const WideChar* implementation,
                                                 uint32_t flags) = 0;
    virtual NtStatus BCryptCloseAlgorithmProvider(CngHandle algorithm, uint32_t flags) = 0;
    virtual NtStatus BCryptGetProperty(CngHandle object, const WideChar* property, uint8_t* output,
                                       uint32_t outputSize, uint32_t* resultSize,
                                       uint32_t flags) = 0;
    virtual NtStatus BCryptCreateHash(CngHandle algorithm, CngHandle* hash, uint8_t* hashObject,
                                      uint32_t hashObjectSize, const uint8_t* secret,
                                      uint32_t secretSize, uint32_t flags) = 0;
    virtual NtStatus BCryptHashData(CngHandle hash, const uint8_t* input, uint32_t size,
                                    uint32_t flags) = 0;
    virtual NtStatus BCryptFinishHash(CngHandle hash, uint8_t* output, uint32_t size,
                                      uint32_t flags) = 0;
    virtual NtStatus BCryptDestroyHash(CngHandle hash) = 0;
    virtual NtStatus BCryptImportKeyPair(CngHandle algorithm, CngHandle importKey,
                                         const WideChar* blobType, CngHandle* key,
                                         const uint8_t* input, uint32_t inputSize,
                                         uint32_t flags) = 0;
    // `pkcs1HashAlgorithm` is the hash named in the BCRYPT_PKCS1_PADDING_INFO record.
    virtual NtStatus BCryptVerifySignature(CngHandle key, const WideChar* pkcs1HashAlgorithm,
                                           const uint8_t* hash, uint32_t hashSize,
                                           const uint8_t* signature, uint32_t signatureSize,
                                           uint32_t flags) = 0;
    virtual NtStatus BCryptDestroyKey(CngHandle key) = 0;
    virtual NtStatus BCryptSetProperty(CngHandle object, const WideChar* property,
                                       const uint8_t* input, uint32_t inputSize,
                                       uint32_t flags) = 0;
    virtual NtStatus BCryptGenerateSymmetricKey(CngHandle algorithm, CngHandle* key,
                                                uint8_t* keyObject, uint32_t keyObjectSize,
                                                const uint8_t* secret, uint32_t secretSize,
                                                uint32_t flags) = 0;
    virtual NtStatus BCryptGenRandom(CngHandle algorithm, uint8_t* buffer, uint32_t size,
                                     uint32_t flags) = 0;
    // `authenticatedInfo` is the pPaddingInfo argument; null passes none.
    virtual NtStatus BCryptDecrypt(CngHandle key, const uint8_t* input, uint32_t inputSize,
                                   const AuthenticatedCipherInfo* authenticatedInfo, uint8_t* iv,
                                   uint32_t ivSize, uint8_t* output, uint32_t outputSize,
                                   uint32_t* result, uint32_t flags) = 0;
};

}  // namespace veltomarn
