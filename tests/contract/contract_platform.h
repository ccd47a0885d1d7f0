#pragma once

// The platform that the contract tests run against: the in-memory model on the host, the real
// Win32 implementation under Wine. The same tests pass on both, so the model cannot drift.

#include <memory>

#include "platform/platform.h"

namespace veltomarn::testing {

std::unique_ptr<Platform> MakeContractPlatform();

}  // namespace veltomarn::testing
