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
    WideString text = kCacheSddlTemplate;
    {
        const ScopedLocalMemory owned(platform, sidText);
        text += sidText;
    }
    text += u")";

    void* descriptor = nullptr;
    uint32_t descriptorSize = 0;
    check(platform.ConvertStringSecurityDescriptorToSecurityDescriptorW(
              text.c_str(), win::kSddlRevision1, &descriptor, &descriptorSize),
          "CACHE_ACL");
    return CacheSecurity{ScopedLocalMemory(platform, descriptor), SecurityAttributes{descriptor}};
}

void ApplyCacheAcl(Security& security, const CacheSecurity& cache, const WideString& path) {
    const WideString longPath = LocalLongPath(path);
    check(security.SetFileSecurityW(
              longPath.c_str(),
              win::kDaclSecurityInformation | win::kProtectedDaclSecurityInformation,
              cache.attributes.descriptor),
          "CACHE_ACL_APPLY");
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
    folderGuard.CreateDirectory(kCacheRootName, &cache.attributes, "CACHE_CREATE");
    const GuardedDirectory rootGuard(platform, root, StreamCheck::kEverything);
    ApplyCacheAcl(platform, cache, root);
    return root;
}

}  // namespace veltomarn
