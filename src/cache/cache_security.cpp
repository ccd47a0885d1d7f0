#include "cache/cache_security.h"

#include <algorithm>
#include <vector>

#include "core/failure.h"
#include "core/guarded_directory.h"
#include "core/locations.h"
#include "core/names.h"

namespace veltomarn {
namespace {

constexpr uint32_t kMaxTokenUserBytes = 65536;

ScopedLocalMemory Descriptor(Platform& platform, const WideString& text) {
    void* descriptor = nullptr;
    uint32_t size = 0;
    check(platform.ConvertStringSecurityDescriptorToSecurityDescriptorW(
              text.c_str(), win::kSddlRevision1, &descriptor, &size),
          "CACHE_ACL");
    return ScopedLocalMemory(platform, descriptor);
}

}  // namespace

CacheSecurity BuildCacheSecurity(Platform& platform) {
    Handle opened = nullptr;
    check(platform.OpenProcessToken(win::kCurrentProcess, win::kTokenQuery, &opened), "TOKEN_OPEN");
    const ScopedHandle token(platform, opened);

    uint32_t size = 0;
    platform.GetTokenInformation(token.get(), win::kTokenUserClass, nullptr, 0, &size);
    check(size >= 1 && size <= kMaxTokenUserBytes, "TOKEN_SIZE");
    // Whole records, aligned for the pointer the record starts with, never smaller than it.
    std::vector<TokenUser> buffer(
        (std::max<std::size_t>(size, sizeof(TokenUser)) + sizeof(TokenUser) - 1) /
        sizeof(TokenUser));
    check(
        platform.GetTokenInformation(token.get(), win::kTokenUserClass, buffer.data(), size, &size),
        "TOKEN_READ");

    WideChar* sidText = nullptr;
    check(platform.ConvertSidToStringSidW(buffer.front().sid, &sidText), "TOKEN_SID");
    WideString sid;
    {
        const ScopedLocalMemory owned(platform, sidText);
        sid = sidText;
    }
    ScopedLocalMemory descriptor = Descriptor(platform, kCacheSddlTemplate + sid + kCacheSddlTail);
    const SecurityAttributes attributes{descriptor.get()};
    ScopedLocalMemory lockdown =
        Descriptor(platform, kLockdownSddlTemplate + sid + kLockdownSddlTail);
    return CacheSecurity{std::move(descriptor), attributes, std::move(lockdown)};
}

bool ApplyDacl(Security& security, Handle object, const ScopedLocalMemory& descriptor) {
    return security.SetKernelObjectSecurity(
        object, win::kDaclSecurityInformation | win::kProtectedDaclSecurityInformation,
        descriptor.get());
}

void ApplyCacheAcl(Security& security, const CacheSecurity& cache, Handle directory) {
    check(ApplyDacl(security, directory, cache.descriptor), "CACHE_ACL_APPLY");
}

WideString EnsureCacheRoot(Platform& platform, const CacheSecurity& cache) {
    std::vector<WideChar> buffer(win::kMaxPath, 0);
    check(platform.SHGetFolderPathW(nullptr, win::kCsidlLocalAppData, nullptr,
                                    win::kShgfpTypeCurrent, buffer.data()) >= 0,
          "LOCAL_CACHE_PATH");
    const WideString folder =
        FullPath(platform, WideString(buffer.begin(), std::find(buffer.begin(), buffer.end(), 0)));
    // The folder and everything above it are held; their streams are not the cache's business.
    GuardedDirectory folderGuard(platform, folder, StreamCheck::kFilesOnly);
    const WideString root = folderGuard.PathOf(kCacheRootName);
    folderGuard.CreateDirectoryAt(kCacheRootName, &cache.attributes, "CACHE_CREATE");
    const GuardedDirectory rootGuard(platform, root, StreamCheck::kEverything);
    ApplyCacheAcl(platform, cache,
                  folderGuard.OpenForAccessControl(kCacheRootName, "CACHE_ACL_APPLY").get());
    return root;
}

}  // namespace veltomarn
