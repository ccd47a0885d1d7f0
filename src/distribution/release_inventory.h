#pragma once

// The release inventory "RELEASE.signed": a signed text that names every file of the distribution
// with its SHA-256 and size, under a header of format, channel, sequence, ABI and manifest digest.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "core/names.h"

namespace veltomarn {

inline constexpr uint64_t kMaxInventoryBytes = 1048576;
inline constexpr uint64_t kMinReleaseSequence = 2026103022;
inline constexpr uint64_t kMaxReleaseSequence = 9223372036854775807;
inline constexpr uint64_t kMaxInventoryFiles = 512;
inline constexpr uint64_t kMaxInventoryFileBytes = 4294967296;

struct InventoryRow {
    std::string digest;  // 64 lower-case hex characters
    uint64_t size = 0;
    std::string path;  // passed the relative path rules
};

// A parsed inventory. Only ParseReleaseInventory makes one, so every instance obeys every rule.
class ReleaseInventory {
  public:
    uint64_t sequence() const { return sequence_; }
    const std::string& manifestDigest() const { return manifestDigest_; }
    // In file order, which is ascending byte order of the paths.
    const std::vector<InventoryRow>& rows() const { return rows_; }
    // Every row path plus the inventory's own two files.
    const std::set<std::string>& expectedFiles() const { return expectedFiles_; }
    // Every proper '/'-prefix of a row path.
    const std::set<std::string>& expectedDirectories() const { return expectedDirectories_; }

  private:
    friend ReleaseInventory ParseReleaseInventory(const std::vector<uint8_t>& bytes);
    ReleaseInventory() = default;

    uint64_t sequence_ = 0;
    std::string manifestDigest_;
    std::vector<InventoryRow> rows_;
    std::set<std::string> expectedFiles_;
    std::set<std::string> expectedDirectories_;
};

// The one rule checked before the signature: at least one byte, and the last one is LF.
// Throws "INVENTORY_FORMAT".
void CheckInventoryFraming(const std::vector<uint8_t>& bytes);

// Parses signed inventory bytes; the first broken rule decides. Throws "INVENTORY_ENCODING",
// "INVENTORY_HEADER", "RELEASE_TOO_OLD", "MANIFEST_HASH", "INVENTORY_COUNT", "INVENTORY_ROW",
// "ROW_HASH", "ROW_ORDER", "PATH_ALIAS", "MANIFEST_BINDING", "REQUIRED_FILES", "DIRECTORY_ALIAS",
// and the number and path codes ("NONCANONICAL_NUMBER", "INVALID_NUMBER", "NUMBER_LIMIT",
// "PATH_FORMAT", "PATH_CHARACTER", "PATH_COMPONENT", "PATH_DEVICE").
ReleaseInventory ParseReleaseInventory(const std::vector<uint8_t>& bytes);

}  // namespace veltomarn
