#include "release/secret_memory.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace veltomarn::release {
namespace {

// Each block of OpenSSL's starts with its size, so that freeing it knows how much to wipe.
constexpr std::size_t kBlockHeader = alignof(std::max_align_t);

std::size_t BlockSize(void* memory) {
    std::size_t size = 0;
    std::memcpy(&size, static_cast<unsigned char*>(memory) - kBlockHeader, sizeof size);
    return size;
}

// OpenSSL's own allocator answers no memory for zero bytes too.
void* WipingMalloc(std::size_t size, const char*, int) {
    if (size == 0 || size > SIZE_MAX - kBlockHeader) return nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(kBlockHeader + size));
    if (block == nullptr) return nullptr;
    std::memcpy(block, &size, sizeof size);
    return block + kBlockHeader;
}

void WipingFree(void* memory, const char*, int) {
    if (memory == nullptr) return;
    OPENSSL_cleanse(memory, BlockSize(memory));
    std::free(static_cast<unsigned char*>(memory) - kBlockHeader);
}

// Always a new block: realloc would free the old one with its bytes in it.
void* WipingRealloc(void* memory, std::size_t size, const char* file, int line) {
    if (memory == nullptr) return WipingMalloc(size, file, line);
    if (size == 0) {
        WipingFree(memory, file, line);
        return nullptr;
    }
    void* grown = WipingMalloc(size, file, line);
    if (grown == nullptr) return nullptr;
    std::memcpy(grown, memory, std::min(size, BlockSize(memory)));
    WipingFree(memory, file, line);
    return grown;
}

}  // namespace

bool InstallWipingOpensslAllocator() {
    return CRYPTO_set_mem_functions(WipingMalloc, WipingRealloc, WipingFree) == 1;
}

void Wipe(std::vector<uint8_t>& bytes) {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

}  // namespace veltomarn::release
