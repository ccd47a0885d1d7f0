#pragma once

// The exact check of a directory tree.

#include <set>
#include <string>

#include "core/guarded_directory.h"

namespace veltomarn {

// Proves that the tree below `guard`'s base holds exactly `expectedFiles` and
// `expectedDirectories` (relative '/'-separated paths; a directory holding an expected entry must
// be expected itself; the base is never a member): no other entry, no reparse point, every name
// spelled byte for byte as expected. Reads names and attributes only; an unexpected entry is
// refused when it is met, a missing one after the whole walk.
// Throws "LOCAL_PATH_REQUIRED", "TREE_ENUMERATION", "TREE_NAME", "TREE_REPARSE",
// "UNEXPECTED_DIRECTORY", "UNEXPECTED_FILE", "INCOMPLETE_TREE". No handle outlives the call.
void VerifyExactTree(GuardedDirectory& guard, const std::set<std::string>& expectedFiles,
                     const std::set<std::string>& expectedDirectories);

}  // namespace veltomarn
