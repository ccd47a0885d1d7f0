#pragma once

// The seam between the bootstrap's logic and the operating system.
//
// Every operating-system and crypto-provider call the bootstrap makes goes through one of these
// narrow interfaces. Each member mirrors one Windows call: the same arguments (with project
// types), the same success and failure values, and the same last-error codes. Logic never sees
// <windows.h>, and asks for the narrowest part it needs; `Platform` is all of them, the one
// object the bootstrap hands its logic. The product implements it in platform/win32; the release
// tool's Linux platform implements only `FileSystem` (platform/posix), with `Crypto` from OpenSSL
// (platform/openssl).

#include "platform/crypto.h"
#include "platform/file_system.h"
#include "platform/interaction.h"
#include "platform/processes.h"
#include "platform/security.h"

namespace veltomarn {

class Platform : public FileSystem,
                 public Crypto,
                 public Processes,
                 public Security,
                 public Interaction {};

}  // namespace veltomarn
