#pragma once

// The release inventory "RELEASE.signed" written for a scanned package directory.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "core/sha256.h"
#include "distribution/release_inventory.h"
#include "release/package_scan.h"

namespace veltomarn::release {

struct BuiltInventory {
    std::vector<uint8_t> bytes;  // the whole text, every line ended by LF
    Sha256Digest digest{};       // SHA-256 of `bytes`: what the signature covers
    uint64_t sequence = 0;
    std::size_t files = 0;
};

// The sequence number given on the command line: canonical decimal, 2026103022 to
// 9223372036854775807. Throws ToolError (2) saying what is wrong.
uint64_t ParseReleaseSequence(const std::string& text);

// The inventory text: the six header lines, then one row per entry of `rows` (which must be in
// ascending path order) of digest, TAB, size, TAB, path.
std::string InventoryText(uint64_t sequence, const std::string& manifestDigest,
                          const std::vector<InventoryRow>& rows);

// Hashes every file of `scan` below `root` (an absolute Linux directory path) exactly as the
// bootstrap does, through its guarded access over the Linux platform (whose drive paths map to
// Linux paths, see platform/posix) and OpenSSL, builds the inventory and parses it back with the
// bootstrap's own parser, which must accept it with the same rows and directories. Throws
// ToolError (2) when a file cannot be hashed as the bootstrap would hash it (it changed since the
// scan, say) or the self-check fails, and (128 + the signal) when SIGINT or SIGTERM arrives.
// `progress`: where a line shows how far hashing has come (ProgressLine), or null.
BuiltInventory BuildInventory(const std::string& root, const PackageScan& scan, uint64_t sequence,
                              std::ostream* progress);

}  // namespace veltomarn::release
