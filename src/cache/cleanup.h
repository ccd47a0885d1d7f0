#pragma once

// Removing sessions: a run's own at its end or after its failure, and those earlier runs left.
// Nothing is deleted before its owner record proves whose it is and everything to delete has been
// opened and inspected.

#include "cache/cache_security.h"
#include "cache/session.h"
#include "core/guarded_directory.h"
#include "payload/payload_format.h"
#include "platform/platform.h"

namespace veltomarn {

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
