#include "release/package_sign.h"

#include "core/failure.h"
#include "distribution/release_signature.h"
#include "platform/openssl/openssl_cng.h"
#include "release/file_install.h"
#include "release/package_scan.h"
#include "release/release_keys.h"
#include "release/tool_error.h"

namespace veltomarn::release {

BuiltInventory SignPackage(const std::string& root, uint64_t sequence, EVP_PKEY* key,
                           std::ostream* progress) {
    BuiltInventory inventory = BuildInventory(root, ScanPackage(root), sequence, progress);
    const std::vector<uint8_t> signature = SignDigest(key, inventory.digest);
    // The bootstrap's own check of the new pair, with the key's public half.
    try {
        OpensslCng crypto;
        VerifyReleaseSignature(crypto, inventory.bytes, signature, PublicKeyBlob(key));
    } catch (const Failure& failure) {
        Refuse(std::string("the new signature fails the bootstrap's check (") + failure.code() +
               "); nothing was written");
    }
    InstallInventoryFiles(root, inventory.bytes, &signature);
    return inventory;
}

}  // namespace veltomarn::release
