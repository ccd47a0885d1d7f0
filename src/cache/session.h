#pragma once

// One run's private session in the cache: the session lock, the payload's directory, the session
// directory with its owner record beside it (the session's journal), and the check of the
// unsealed files just before anything in them runs.

#include <set>
#include <string>

#include "cache/cache_security.h"
#include "core/guarded_directory.h"
#include "payload/payload_format.h"
#include "platform/platform.h"
#include "platform/scoped_handle.h"

namespace veltomarn {

inline constexpr uint64_t kSessionSpaceHeadroomBytes = 67108864;

// What opening a session produces; the run keeps it to its end. Paths are without "\\?\".
struct Session {
    GuardedDirectory cacheRoot;
    // "active.lock", open unshared: no other bootstrap of the user works in the cache meanwhile.
    ScopedHandle lock;
    WideString payloadDirectory;
    GuardedDirectory payload;
    std::string sessionName;      // "session-" + token
    std::string ownerRecordName;  // ".owner-" + token, beside the session directory
    WideString sessionDirectory;
    bool ownerRecordWritten = false;
};

// "payload-" and the first 32 hex digits of the SHA-256 of the index bytes, in the cache root
// (held by `cacheRoot`), created with the cache's attributes or taken, held, and given the
// cache's DACL again. Returns its path. Throws the SHA-256 codes, "CACHE_PAYLOAD_CREATE",
// "CACHE_ACL_APPLY" and the guard's codes.
WideString CreatePayloadDirectory(Platform& platform, GuardedDirectory& cacheRoot,
                                  const PayloadIndex& index, const CacheSecurity& cache);

// "payload-" and the first 32 hex digits of the SHA-256 of `indexBytes`: the name of the payload
// directory of the payload whose index reads so. Throws the SHA-256 codes.
std::string PayloadDirectoryName(Crypto& crypto, const std::vector<uint8_t>& indexBytes);

// "session-" and 16 fresh random bytes as 32 hex digits. Throws "SESSION_RANDOM".
std::string NewSessionName(Crypto& crypto);

// In this order: the cache root held; the session lock opened (or created) unshared and
// inspected; the payload directory made and held; stale sessions recovered, this payload's and
// then other releases' (RecoverOtherReleases); free space for the
// plaintext and 64 MiB checked on the cache root's volume; the session directory created new.
// Throws "LAUNCHER_SESSION_ALREADY_OPEN", "CACHE_LOCK_OPEN", "CACHE_LOCK_TYPE",
// "CACHE_SPACE_QUERY", "CACHE_SPACE", "SESSION_RANDOM", "SESSION_CREATE" and the codes of the
// steps it calls.
Session OpenSession(Platform& platform, const WideString& cacheRoot, const CacheSecurity& cache,
                    const PayloadIndex& index);

// Creates the owner record new with the index bytes in one write, flushes it, and only then sets
// `ownerRecordWritten`. Throws "SESSION_JOURNAL", "CACHE_WRITE", "SESSION_JOURNAL_FLUSH".
void WriteOwnerRecord(FileSystem& files, Session& session, const CacheSecurity& cache,
                      const PayloadIndex& index);

// Hashes every unsealed file below `sessionGuard` again and proves the tree holds exactly the
// payload's files and their directories. Throws "CACHE_CHANGED_BEFORE_START", the digest codes
// and the tree check's codes.
void CheckSessionBeforeStart(GuardedDirectory& sessionGuard, Crypto& crypto,
                             const PayloadIndex& index);

// The relative paths of the payload's files.
std::set<std::string> PayloadFilePaths(const PayloadIndex& index);

// Proves that the tree below `sessionGuard` holds exactly the payload's files and their
// directories (names and kinds, not contents). Throws the tree check's codes.
void CheckSessionTree(GuardedDirectory& sessionGuard, const PayloadIndex& index);

// Removes session directory `sessionDirectory` (…\payload-…\session-<token>) and then its owner
// record, only after proving that the record holds exactly `index`'s bytes, that the session
// holds nothing unsealing this payload cannot make, and that every file to delete is a plain file
// with one link and no unexpected stream; nothing is deleted before every file has been opened
// and inspected. Directories go deepest first, the owner record last. Throws
// "CACHE_CLEANUP_PARENT", "CACHE_OWNER_NAME", "CACHE_OWNER_MISMATCH", "CACHE_ENUMERATION",
// "CACHE_UNEXPECTED_DATA", "CACHE_CLEANUP_BUSY", "CACHE_CLEANUP_LINK", "CACHE_DELETE",
// "CACHE_DIRECTORY_DELETE", "CACHE_SESSION_DELETE", "CACHE_OWNER_DELETE_OPEN",
// "CACHE_OWNER_DELETE_TYPE", "CACHE_OWNER_DELETE" and the guard's codes.
void CleanupSession(Platform& platform, const WideString& sessionDirectory,
                    const PayloadIndex& index);

// Tidies a session that a failure interrupted; the failure itself is the caller's to pass on. An
// owned session is cleaned (CleanupSession); an unowned one (the owner record not flushed yet)
// is empty and removed. Returns false when the owned session could not be cleaned: it stays for
// the next start's recovery or a review. Never throws.
bool TidyFailedSession(Platform& platform, const Session& session, const PayloadIndex& index);

// Cleans every session left in the payload directory held by `payload` by earlier runs, each
// given the cache's DACL again first (a run that died while its session was locked left its
// directories unwritable, and where access lists become permission bits, undeletable): its
// directories are opened without following a link, and a failure there is ignored. An
// entry named "session-*" that is not a well-formed session directory stops the run. A session
// whose owner record is missing, unreadable or another payload's is removed only when it is
// empty (a run that died before its owner record was flushed); otherwise that failure stands.
// Throws "CACHE_RECOVERY_ENUMERATION", "CACHE_RECOVERY_OBJECT" and CleanupSession's codes.
void RecoverStaleSessions(Platform& platform, GuardedDirectory& payload, const PayloadIndex& index,
                          const CacheSecurity& cache);

// Recovers the stale sessions of every other payload directory ("payload-" and 32 hex digits) in
// the cache root held by `cacheRoot`, under the rules of RecoverStaleSessions, a session with
// content only when its own owner record proves it belongs there: the record's bytes hash to the
// directory's name (PayloadDirectoryName) and are a whole payload index. Anything else in another
// payload's directory (a failure to list it, an unprovable or busy session) leaves it as it is;
// payload directories themselves stay. Throws "CACHE_RECOVERY_ENUMERATION" when the cache root
// cannot be listed.
void RecoverOtherReleases(Platform& platform, GuardedDirectory& cacheRoot,
                          const WideString& currentPayload, const CacheSecurity& cache);

}  // namespace veltomarn
