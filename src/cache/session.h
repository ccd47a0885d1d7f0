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

}  // namespace veltomarn
