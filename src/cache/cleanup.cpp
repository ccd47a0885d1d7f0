#include <algorithm>
#include <optional>
#include <set>
#include <vector>

#include "cache/cleanup.h"
#include "core/failure.h"
#include "core/names.h"
#include "core/relative_path.h"

namespace veltomarn {
namespace {

constexpr uint64_t kMaxOwnerRecordBytes = 262144;
constexpr std::size_t kIdDigits = 32;  // of a session token and of a payload id

// A session and the owner record that proved it belongs to the payload in hand.
struct OwnedSession {
    WideString payloadDirectory;
    WideString sessionDirectory;
    std::string ownerRecordName;
};

// The owner record beside a session and its bytes. Changes nothing.
OwnedSession ReadOwnerRecord(Platform& platform, const WideString& sessionDirectory,
                             std::vector<uint8_t>& record) {
    const std::size_t slash = sessionDirectory.rfind(u'\\');
    check(slash != WideString::npos, "CACHE_CLEANUP_PARENT");
    const WideString name = sessionDirectory.substr(slash + 1);
    const std::size_t prefix = std::min(name.size(), sizeof kSessionPrefix - 1);
    OwnedSession owned{sessionDirectory.substr(0, slash), sessionDirectory, ""};
    GuardedDirectory payload(platform, owned.payloadDirectory, StreamCheck::kEverything);
    const std::optional<std::string> token = PrintableName(name.substr(prefix));
    check(token.has_value(), "CACHE_OWNER_NAME");
    owned.ownerRecordName = kOwnerRecordPrefix + *token;
    record = payload.ReadSmallFile(owned.ownerRecordName, kMaxOwnerRecordBytes);
    return owned;
}

// Phase 1: the owner record beside the session holds exactly the index bytes. Changes nothing.
OwnedSession ProveOwnership(Platform& platform, const WideString& sessionDirectory,
                            const PayloadIndex& index) {
    std::vector<uint8_t> record;
    OwnedSession owned = ReadOwnerRecord(platform, sessionDirectory, record);
    check(record == index.indexBytes, "CACHE_OWNER_MISMATCH");
    return owned;
}

// The bytes of an owner record as the source of a payload index.
class RecordSource final : public PayloadSource {
  public:
    explicit RecordSource(const std::vector<uint8_t>& record) : record_(record) {}
    void Read(uint8_t* buffer, uint32_t size) override {
        check(size <= record_.size() - read_, "PAYLOAD_TRUNCATED");
        std::copy_n(record_.begin() + static_cast<std::ptrdiff_t>(read_), size, buffer);
        read_ += size;
    }

  private:
    const std::vector<uint8_t>& record_;
    std::size_t read_ = 0;
};

// Phases 2 to 4: list (nothing deleted), open and inspect every file, delete, remove.
void RemoveOwnedSession(Platform& platform, const OwnedSession& owned, const PayloadIndex& index) {
    std::set<std::string> expectedFiles;
    std::vector<std::string> entryPaths;
    for (const PayloadEntry& entry : index.entries) {
        expectedFiles.insert(entry.path);
        expectedFiles.insert(entry.path + kPartialSuffix);
        entryPaths.push_back(entry.path);
    }
    const std::set<std::string> expectedDirectories = ImpliedDirectories(entryPaths);

    std::vector<std::string> filesToDelete;
    std::vector<std::string> directoriesToRemove;
    {
        GuardedDirectory session(platform, owned.sessionDirectory, StreamCheck::kEverything);
        std::vector<std::string> pending{std::string()};
        while (!pending.empty()) {
            const std::string directory = std::move(pending.back());
            pending.pop_back();
            DirectoryListing listing =
                session.List(directory, "CACHE_ENUMERATION", "CACHE_UNEXPECTED_DATA");
            FindData entry;
            while (listing.Next(entry)) {
                const std::optional<std::string> name = PrintableName(entry.name);
                check(name.has_value() && (entry.attributes & win::kFileAttributeReparsePoint) == 0,
                      "CACHE_UNEXPECTED_DATA");
                const std::string relative = directory.empty() ? *name : directory + "/" + *name;
                if ((entry.attributes & win::kFileAttributeDirectory) != 0) {
                    check(expectedDirectories.count(relative) == 1, "CACHE_UNEXPECTED_DATA");
                    pending.push_back(relative);
                    directoriesToRemove.push_back(relative);
                    session.HoldDirectory(relative);
                } else {
                    check(expectedFiles.count(relative) == 1, "CACHE_UNEXPECTED_DATA");
                    filesToDelete.push_back(relative);
                }
            }
        }
    }
    {
        GuardedDirectory session(platform, owned.sessionDirectory, StreamCheck::kEverything);
        std::vector<ScopedHandle> deletions;
        for (const std::string& file : filesToDelete) {
            deletions.push_back(
                session.OpenForDeletion(file, "CACHE_CLEANUP_BUSY", "CACHE_CLEANUP_LINK"));
        }
        // Only now that every file is open and inspected does anything get deleted.
        for (const ScopedHandle& file : deletions) {
            MarkForDeletion(platform, file.get(), "CACHE_DELETE");
        }
        for (ScopedHandle& file : deletions) file.reset();
    }
    std::stable_sort(
        directoriesToRemove.begin(), directoriesToRemove.end(),
        [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    {
        GuardedDirectory session(platform, owned.sessionDirectory, StreamCheck::kEverything);
        for (const std::string& directory : directoriesToRemove) {
            session.RemoveDirectoryAt(directory, "CACHE_DIRECTORY_DELETE");
        }
        session.RemoveDirectoryAt("", "CACHE_SESSION_DELETE");
    }
    // The owner record goes last: a cleanup cut short always leaves the proof of ownership.
    GuardedDirectory payload(platform, owned.payloadDirectory, StreamCheck::kEverything);
    const ScopedHandle record = payload.OpenForDeletion(
        owned.ownerRecordName, "CACHE_OWNER_DELETE_OPEN", "CACHE_OWNER_DELETE_TYPE");
    MarkForDeletion(platform, record.get(), "CACHE_OWNER_DELETE");
}

// A plain directory named `prefix` and kIdDigits lower-case hex digits.
bool IsWellFormedDirectory(const FindData& entry, const char* prefix, std::size_t prefixUnits) {
    const WideString start(prefix, prefix + prefixUnits);
    if (entry.name.size() != prefixUnits + kIdDigits ||
        entry.name.compare(0, start.size(), start) != 0)
        return false;
    const bool hex = std::all_of(
        entry.name.begin() + start.size(), entry.name.end(),
        [](WideChar c) { return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'); });
    return hex && (entry.attributes & win::kFileAttributeDirectory) != 0 &&
           (entry.attributes & win::kFileAttributeReparsePoint) == 0;
}

// The sessions an earlier run left in the payload directory held by `payload`.
std::vector<WideString> StaleSessions(GuardedDirectory& payload) {
    std::vector<WideString> found;
    DirectoryListing listing =
        payload.List("", "CACHE_RECOVERY_ENUMERATION", "CACHE_RECOVERY_OBJECT", u"session-*");
    FindData entry;
    while (listing.Next(entry)) {
        check(IsWellFormedDirectory(entry, kSessionPrefix, sizeof kSessionPrefix - 1),
              "CACHE_RECOVERY_OBJECT");
        found.push_back(payload.base() + u"\\" + entry.name);
    }
    return found;
}

// Gives `session` and every directory below it the cache's DACL again, as far as it gets: a run
// that died while its session was locked left it so. Only access lists change, never content;
// whatever stops it here, the proof and the inspection that follow decide.
void RestoreCacheAcl(Platform& platform, const CacheSecurity& cache, const WideString& session) {
    try {
        GuardedDirectory guard(platform, session, StreamCheck::kEverything);
        std::vector<std::string> pending{std::string()};
        while (!pending.empty()) {
            const std::string directory = std::move(pending.back());
            pending.pop_back();
            ApplyCacheAcl(platform, cache,
                          guard.OpenForAccessControl(directory, "CACHE_ACL_APPLY").get());
            DirectoryListing listing =
                guard.List(directory, "CACHE_ENUMERATION", "CACHE_ENUMERATION");
            FindData entry;
            while (listing.Next(entry)) {
                const std::optional<std::string> name = PrintableName(entry.name);
                if (name && (entry.attributes & win::kFileAttributeDirectory) != 0 &&
                    (entry.attributes & win::kFileAttributeReparsePoint) == 0) {
                    pending.push_back(directory.empty() ? *name : directory + "/" + *name);
                }
            }
        }
    } catch (const Failure&) {
    }
}

// Recovers `session` once `prove` has proven who owns it: a run that died between creating its
// session directory and flushing its owner record left it empty, and removing it (which only an
// empty directory allows) heals the cache. A session with content is never touched without proof
// of ownership: the proof's failure then stands.
template <typename Prove>
void RecoverSession(Platform& platform, const CacheSecurity& cache, const WideString& session,
                    Prove prove) {
    RestoreCacheAcl(platform, cache, session);
    std::optional<std::pair<OwnedSession, PayloadIndex>> owned;
    try {
        owned = prove();
    } catch (const Failure&) {
        if (!platform.RemoveDirectoryW(LocalLongPath(session).c_str())) throw;
        return;
    }
    RemoveOwnedSession(platform, owned->first, owned->second);
}

}  // namespace

void CleanupSession(Platform& platform, const WideString& sessionDirectory,
                    const PayloadIndex& index) {
    RemoveOwnedSession(platform, ProveOwnership(platform, sessionDirectory, index), index);
}

bool TidyFailedSession(Platform& platform, const Session& session, const PayloadIndex& index) {
    try {
        if (session.ownerRecordWritten) {
            CleanupSession(platform, session.sessionDirectory, index);
        } else {
            platform.RemoveDirectoryW(LocalLongPath(session.sessionDirectory).c_str());
        }
        return true;
    } catch (...) {
        return false;
    }
}

void RecoverStaleSessions(Platform& platform, GuardedDirectory& payload, const PayloadIndex& index,
                          const CacheSecurity& cache) {
    for (const WideString& session : StaleSessions(payload)) {
        RecoverSession(platform, cache, session, [&] {
            return std::make_pair(ProveOwnership(platform, session, index), index);
        });
    }
}

void RecoverOtherReleases(Platform& platform, GuardedDirectory& cacheRoot,
                          const WideString& currentPayload, const CacheSecurity& cache) {
    std::vector<std::pair<WideString, std::string>> others;
    {
        DirectoryListing listing = cacheRoot.List("", "CACHE_RECOVERY_ENUMERATION",
                                                  "CACHE_RECOVERY_ENUMERATION", u"payload-*");
        FindData entry;
        while (listing.Next(entry)) {
            const WideString path = cacheRoot.base() + u"\\" + entry.name;
            if (path == currentPayload ||
                !IsWellFormedDirectory(entry, kPayloadDirectoryPrefix,
                                       sizeof kPayloadDirectoryPrefix - 1))
                continue;
            others.emplace_back(path, std::string(entry.name.begin(), entry.name.end()));
        }
    }
    // Another release's sessions: that release is not being started, so nothing found there
    // stops this start.
    for (const auto& other : others) {
        // Named, not bound: a lambda below uses them.
        const WideString& directory = other.first;
        const std::string& name = other.second;
        std::vector<WideString> sessions;
        try {
            GuardedDirectory payload(platform, directory, StreamCheck::kEverything);
            sessions = StaleSessions(payload);
        } catch (const Failure&) {
            continue;
        }
        for (const WideString& session : sessions) {
            try {
                RecoverSession(platform, cache, session, [&] {
                    std::vector<uint8_t> record;
                    OwnedSession owned = ReadOwnerRecord(platform, session, record);
                    check(PayloadDirectoryName(platform, record) == name, "CACHE_OWNER_MISMATCH");
                    RecordSource source(record);
                    PayloadIndex index = ParsePayloadIndex(source);
                    check(index.indexBytes == record, "CACHE_OWNER_MISMATCH");
                    return std::make_pair(std::move(owned), std::move(index));
                });
            } catch (const Failure&) {
            }
        }
    }
}

}  // namespace veltomarn
