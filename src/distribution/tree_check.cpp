#include "distribution/tree_check.h"

#include <optional>
#include <vector>

#include "core/failure.h"

namespace veltomarn {

void VerifyExactTree(GuardedDirectory& guard, const std::set<std::string>& expectedFiles,
                     const std::set<std::string>& expectedDirectories, CheckPhase& phase) {
    std::vector<std::string> pending{std::string()};
    std::set<std::string> filesSeen;
    std::set<std::string> directoriesSeen;

    while (!pending.empty()) {
        const std::string directory = std::move(pending.back());
        pending.pop_back();
        DirectoryListing listing = guard.List(directory, "TREE_ENUMERATION", "TREE_ENUMERATION");
        FindData entry;
        while (listing.Next(entry)) {
            const std::optional<std::string> printable = PrintableName(entry.name);
            check(printable.has_value(), "TREE_NAME");
            const std::string& name = *printable;
            const std::string relative = directory.empty() ? name : directory + "/" + name;
            // Tested before the kind: a junction or link fails here whatever it is called.
            check((entry.attributes & win::kFileAttributeReparsePoint) == 0, "TREE_REPARSE");
            if ((entry.attributes & win::kFileAttributeDirectory) != 0) {
                check(expectedDirectories.count(relative) == 1 &&
                          directoriesSeen.insert(relative).second,
                      "UNEXPECTED_DIRECTORY");
                pending.push_back(relative);
            } else {
                check(expectedFiles.count(relative) == 1 && filesSeen.insert(relative).second,
                      "UNEXPECTED_FILE");
            }
        }
    }
    phase = CheckPhase::kCompleteness;
    check(filesSeen == expectedFiles && directoriesSeen == expectedDirectories, "INCOMPLETE_TREE");
    phase = CheckPhase::kFiles;
}

void VerifyExactTree(GuardedDirectory& guard, const std::set<std::string>& expectedFiles,
                     const std::set<std::string>& expectedDirectories) {
    CheckPhase unfollowed = CheckPhase::kFiles;
    VerifyExactTree(guard, expectedFiles, expectedDirectories, unfollowed);
}

}  // namespace veltomarn
