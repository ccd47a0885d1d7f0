#pragma once

// A checked session made unwritable while its files run: no entry can be added, written or
// renamed in any of its directories, so nothing can be planted beside the inner launcher (a DLL it
// would load) and a game that writes beside itself fails at once, in the publisher's own test,
// instead of leaving an entry that stops every later start.

#include <vector>

#include "cache/cache_security.h"
#include "core/guarded_directory.h"
#include "payload/payload_format.h"
#include "platform/scoped_handle.h"

namespace veltomarn {

class SessionLockdown {
  public:
    // Opens the session directory held by `session` and every directory of `index` below it with
    // WRITE_DAC (all of them before any change: the lockdown takes the owner's right to change the
    // access list again), then gives each the lockdown DACL through its handle. On failure what
    // was changed is lifted again. Throws "SESSION_LOCKDOWN" and what HoldDirectory throws.
    SessionLockdown(Security& security, GuardedDirectory& session, const CacheSecurity& cache,
                    const PayloadIndex& index);
    SessionLockdown(const SessionLockdown&) = delete;
    SessionLockdown& operator=(const SessionLockdown&) = delete;
    // Lifts what is still locked; a failure is not reported here (the cleanup that follows fails
    // then, and the next start's recovery gives the session the cache's DACL again).
    ~SessionLockdown();

    // Gives every directory the cache's DACL again through the same handles, and closes them.
    // Throws "SESSION_LOCKDOWN" when any of them kept the lockdown.
    void Lift();

  private:
    bool LiftAll();

    Security& security_;
    const CacheSecurity& cache_;
    std::vector<ScopedHandle> directories_;
    std::size_t locked_ = 0;  // the first `locked_` directories carry the lockdown
};

}  // namespace veltomarn
