#include "cache/session.h"

#include <array>
#include <set>
#include <utility>

#include "cache/cleanup.h"
#include "core/failure.h"
#include "core/hex_text.h"
#include "core/names.h"
#include "core/relative_path.h"
#include "core/sha256.h"
#include "distribution/tree_check.h"

namespace veltomarn {
namespace {

constexpr std::size_t kPayloadIdDigits = 32;
constexpr std::size_t kSessionRandomBytes = 16;

constexpr FileCreation kSessionLock{win::kGenericRead | win::kGenericWrite, win::kOpenAlways,
                                    win::kFileAttributeNormal | win::kFileFlagOpenReparsePoint};
constexpr FileCreation kOwnerRecord{win::kGenericWrite, win::kCreateNew, win::kFileAttributeNormal};

}  // namespace

std::string PayloadDirectoryName(Crypto& crypto, const std::vector<uint8_t>& indexBytes) {
    Sha256Hash hash(crypto);
    hash.Update(indexBytes.data(), indexBytes.size());
    return kPayloadDirectoryPrefix + DigestHex(hash.Finish()).substr(0, kPayloadIdDigits);
}

WideString CreatePayloadDirectory(Platform& platform, GuardedDirectory& cacheRoot,
                                  const PayloadIndex& index, const CacheSecurity& cache) {
    const std::string name = PayloadDirectoryName(platform, index.indexBytes);
    cacheRoot.CreateDirectoryAt(name, &cache.attributes, "CACHE_PAYLOAD_CREATE");
    ApplyCacheAcl(platform, cache, cacheRoot.OpenForAccessControl(name, "CACHE_ACL_APPLY").get());
    return cacheRoot.PathOf(name);
}

std::string NewSessionName(Crypto& crypto) {
    std::array<uint8_t, kSessionRandomBytes> random{};
    check(NtSuccess(crypto.BCryptGenRandom(nullptr, random.data(), random.size(),
                                           win::kBcryptUseSystemPreferredRng)),
          "SESSION_RANDOM");
    return kSessionPrefix + HexText(random.data(), random.size());
}

Session OpenSession(Platform& platform, const WideString& cacheRoot, const CacheSecurity& cache,
                    const PayloadIndex& index) {
    GuardedDirectory root(platform, cacheRoot, StreamCheck::kEverything);
    ScopedHandle lock = root.CreateFileAt(kSessionLockName, kSessionLock, &cache.attributes,
                                          "CACHE_LOCK_OPEN", "LAUNCHER_SESSION_ALREADY_OPEN");
    QueryPlainFile(platform, lock.get(), "CACHE_LOCK_TYPE");
    CheckStreams(platform, root.PathOf(kSessionLockName));

    const WideString payloadDirectory = CreatePayloadDirectory(platform, root, index, cache);
    GuardedDirectory payload(platform, payloadDirectory, StreamCheck::kEverything);
    RecoverStaleSessions(platform, payload, index, cache);
    RecoverOtherReleases(platform, root, payloadDirectory, cache);

    uint64_t freeBytes = 0;
    check(platform.GetDiskFreeSpaceExW(cacheRoot.c_str(), &freeBytes, nullptr, nullptr),
          "CACHE_SPACE_QUERY");
    check(freeBytes >= index.plaintextBytes + kSessionSpaceHeadroomBytes, "CACHE_SPACE");

    std::string sessionName = NewSessionName(platform);
    payload.CreateNewDirectory(sessionName, &cache.attributes, "SESSION_CREATE");
    const WideString sessionDirectory = payload.PathOf(sessionName);
    std::string ownerRecordName =
        kOwnerRecordPrefix + sessionName.substr(sizeof kSessionPrefix - 1);
    return Session{.cacheRoot = std::move(root),
                   .lock = std::move(lock),
                   .payloadDirectory = payloadDirectory,
                   .payload = std::move(payload),
                   .sessionName = std::move(sessionName),
                   .ownerRecordName = std::move(ownerRecordName),
                   .sessionDirectory = sessionDirectory};
}

void WriteOwnerRecord(FileSystem& files, Session& session, const CacheSecurity& cache,
                      const PayloadIndex& index) {
    const ScopedHandle record = session.payload.CreateFileAt(session.ownerRecordName, kOwnerRecord,
                                                             &cache.attributes, "SESSION_JOURNAL");
    WriteAll(files, record.get(), index.indexBytes.data(), index.indexBytes.size());
    check(files.FlushFileBuffers(record.get()), "SESSION_JOURNAL_FLUSH");
    session.ownerRecordWritten = true;
}

void CheckSessionBeforeStart(GuardedDirectory& sessionGuard, Crypto& crypto,
                             const PayloadIndex& index) {
    for (const PayloadEntry& entry : index.entries) {
        const std::string digest = FileDigest(sessionGuard, crypto, entry.path, entry.size);
        check(digest == DigestHex(entry.digest), "CACHE_CHANGED_BEFORE_START");
    }
    CheckSessionTree(sessionGuard, index);
}

std::set<std::string> PayloadFilePaths(const PayloadIndex& index) {
    std::set<std::string> files;
    for (const PayloadEntry& entry : index.entries) files.insert(entry.path);
    return files;
}

void CheckSessionTree(GuardedDirectory& sessionGuard, const PayloadIndex& index) {
    const std::set<std::string> files = PayloadFilePaths(index);
    VerifyExactTree(sessionGuard, files, ImpliedDirectories(files));
}

}  // namespace veltomarn
