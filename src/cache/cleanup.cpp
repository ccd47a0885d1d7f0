#include <algorithm>
#include <optional>
#include <set>
#include <vector>

#include "cache/session.h"
#include "core/failure.h"
#include "core/names.h"
#include "core/relative_path.h"

namespace veltomarn {
namespace {

constexpr uint64_t kMaxOwnerRecordBytes = 262144;
constexpr std::size_t kSessionNameUnits = 40;

// A session and the owner record that proved it belongs to the payload in hand.
struct OwnedSession {
    WideString payloadDirectory;
    WideString sessionDirectory;
    std::string ownerRecordName;
};

// Phase 1: the owner record beside the session holds exactly the index bytes. Changes nothing.
OwnedSession ProveOwnership(Platform& platform, const WideString& sessionDirectory,
                            const PayloadIndex& index) {
    const std::size_t slash = sessionDirectory.rfind(u'\\');
    check(slash != WideString::npos, "CACHE_CLEANUP_PARENT");
    const WideString name = sessionDirectory.substr(slash + 1);
    const std::size_t prefix = std::min(name.size(), sizeof kSessionPrefix - 1);
    OwnedSession owned{sessionDirectory.substr(0, slash), sessionDirectory, ""};
    GuardedDirectory payload(platform, owned.payloadDirectory, StreamCheck::kEverything);
    const std::optional<std::string> token = PrintableName(name.substr(prefix));
    check(token.has_value(), "CACHE_OWNER_NAME");
    owned.ownerRecordName = kOwnerRecordPrefix + *token;
    const std::vector<uint8_t> record =
        payload.ReadSmallFile(owned.ownerRecordName, kMaxOwnerRecordBytes);
    check(record == index.indexBytes, "CACHE_OWNER_MISMATCH");
    return owned;
}

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
            session.RemoveDirectory(directory, "CACHE_DIRECTORY_DELETE");
        }
        session.RemoveDirectory("", "CACHE_SESSION_DELETE");
    }
    // The owner record goes last: a cleanup cut short always leaves the proof of ownership.
    GuardedDirectory payload(platform, owned.payloadDirectory, StreamCheck::kEverything);
    const ScopedHandle record = payload.OpenForDeletion(
        owned.ownerRecordName, "CACHE_OWNER_DELETE_OPEN", "CACHE_OWNER_DELETE_TYPE");
    MarkForDeletion(platform, record.get(), "CACHE_OWNER_DELETE");
}

bool IsWellFormedSession(const FindData& entry) {
    const WideString prefix(kSessionPrefix, kSessionPrefix + sizeof kSessionPrefix - 1);
    if (entry.name.size() != kSessionNameUnits || entry.name.compare(0, prefix.size(), prefix) != 0)
        return false;
    const bool hex = std::all_of(
        entry.name.begin() + prefix.size(), entry.name.end(),
        [](WideChar c) { return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'); });
    return hex && (entry.attributes & win::kFileAttributeDirectory) != 0 &&
           (entry.attributes & win::kFileAttributeReparsePoint) == 0;
}

}  // namespace

void CleanupSession(Platform& platform, const WideString& sessionDirectory,
                    const PayloadIndex& index) {
    RemoveOwnedSession(platform, ProveOwnership(platform, sessionDirectory, index), index);
}

void RecoverStaleSessions(Platform& platform, GuardedDirectory& payload,
                          const PayloadIndex& index) {
    std::vector<WideString> found;
    {
        DirectoryListing listing =
            payload.List("", "CACHE_RECOVERY_ENUMERATION", "CACHE_RECOVERY_OBJECT", u"session-*");
        FindData entry;
        while (listing.Next(entry)) {
            check(IsWellFormedSession(entry), "CACHE_RECOVERY_OBJECT");
            found.push_back(payload.base() + u"\\" + entry.name);
        }
    }
    for (const WideString& session : found) {
        std::optional<OwnedSession> owned;
        try {
            owned = ProveOwnership(platform, session, index);
        } catch (const Failure&) {
            // A run that died between creating its session directory and flushing its owner
            // record left it empty: removing it (which only an empty directory allows) heals the
            // cache. A session with content is never touched without proof of ownership.
            if (!platform.RemoveDirectoryW(LocalLongPath(session).c_str())) throw;
            continue;
        }
        RemoveOwnedSession(platform, *owned, index);
    }
}

}  // namespace veltomarn
