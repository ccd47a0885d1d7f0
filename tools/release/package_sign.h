#pragma once

// Signing a package directory as it stands: its inventory "RELEASE.signed" and the inventory's
// signature "RELEASE.sig".

#include <cstdint>
#include <ostream>
#include <string>

#include <openssl/types.h>

#include "release/inventory_builder.h"

namespace veltomarn::release {

// Scans `root` (an absolute directory path with no link in it; ScanPackage's refusals), builds
// its inventory for `sequence` (BuildInventory), signs the inventory's digest with `key`, checks
// the new pair with the bootstrap's own signature check and puts both files in place together
// (InstallInventoryFiles). Throws ToolError (2); on failure the old pair, or none, remains.
// `progress`: passed to BuildInventory.
BuiltInventory SignPackage(const std::string& root, uint64_t sequence, EVP_PKEY* key,
                           std::ostream* progress);

}  // namespace veltomarn::release
