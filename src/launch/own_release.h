#pragma once

// For an inner launcher, which the bootstrap starts from the session with "--verify-only" before
// the real run: the proof that the directory it runs from is exactly its own signed release.

#include <string>

#include "platform/platform.h"

namespace veltomarn {

// Checks the directory of the running executable as the bootstrap checks a package: RELEASE.signed
// and RELEASE.sig there against the release key compiled into this program, the exact tree, every
// file's size and SHA-256. Returns "" when it holds, else the failure code.
std::string CheckOwnRelease(Platform& platform);

}  // namespace veltomarn
