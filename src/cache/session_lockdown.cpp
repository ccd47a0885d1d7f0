#include "cache/session_lockdown.h"

#include <string>

#include "cache/session.h"
#include "core/failure.h"
#include "core/relative_path.h"

namespace veltomarn {

SessionLockdown::SessionLockdown(Security& security, GuardedDirectory& session,
                                 const CacheSecurity& cache, const PayloadIndex& index)
    : security_(security), cache_(cache) {
    directories_.push_back(session.OpenForAccessControl("", "SESSION_LOCKDOWN"));
    for (const std::string& directory : ImpliedDirectories(PayloadFilePaths(index))) {
        directories_.push_back(session.OpenForAccessControl(directory, "SESSION_LOCKDOWN"));
    }
    for (const ScopedHandle& directory : directories_) {
        if (!ApplyDacl(security_, directory.get(), cache_.lockdown)) {
            LiftAll();
            fail("SESSION_LOCKDOWN");
        }
        ++locked_;
    }
}

SessionLockdown::~SessionLockdown() {
    LiftAll();
}

void SessionLockdown::Lift() {
    check(LiftAll(), "SESSION_LOCKDOWN");
}

bool SessionLockdown::LiftAll() {
    bool lifted = true;
    for (std::size_t i = 0; i < locked_; ++i) {
        lifted = ApplyDacl(security_, directories_[i].get(), cache_.descriptor) && lifted;
    }
    locked_ = 0;
    directories_.clear();
    return lifted;
}

}  // namespace veltomarn
