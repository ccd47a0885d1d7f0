#pragma once

// The exact check of a directory tree.

#include <set>
#include <string>

#include "core/guarded_directory.h"

namespace veltomarn {

// How far a package check has come, which tells what a failure concerns.
enum class CheckPhase {
    kFiles,         // opening, listing or hashing the package's objects: the object last touched
    kInventory,     // a rule of the inventory text
    kSignature,     // the signature over it
    kCompleteness,  // a listed file or directory is missing
    kPayload,       // the payload file, from its opening on
};

// Proves that the tree below `guard`'s base holds exactly `expectedFiles` and
// `expectedDirectories` (relative '/'-separated paths; a directory holding an expected entry must
// be expected itself; the base is never a member): no other entry, no reparse point, every name
// spelled byte for byte as expected. Reads names and attributes only; an unexpected entry is
// refused when it is met, a missing one after the whole walk.
// Throws "LOCAL_PATH_REQUIRED", "TREE_ENUMERATION", "TREE_NAME", "TREE_REPARSE",
// "UNEXPECTED_DIRECTORY", "UNEXPECTED_FILE", "INCOMPLETE_TREE". No handle outlives the call.
// `phase` is kCompleteness while the missing entries are looked for, and kFiles otherwise.
void VerifyExactTree(GuardedDirectory& guard, const std::set<std::string>& expectedFiles,
                     const std::set<std::string>& expectedDirectories, CheckPhase& phase);

// The same check for a caller that follows no phase (a session's tree).
void VerifyExactTree(GuardedDirectory& guard, const std::set<std::string>& expectedFiles,
                     const std::set<std::string>& expectedDirectories);

}  // namespace veltomarn
