#include "bootstrap/modes.h"

#include "core/failure.h"

namespace veltomarn {

// The package check and the session are not built yet. A mode that cannot run must never look
// like a success, so both fail the run.
int RunVerifyOnly(Platform&, const WideString&) {
    fail("MODE_NOT_AVAILABLE");
}

int RunSession(Platform&, const WideString&, RunMode) {
    fail("MODE_NOT_AVAILABLE");
}

}  // namespace veltomarn
