#include "release/package_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "core/failure.h"
#include "core/relative_path.h"
#include "distribution/release_inventory.h"
#include "release/tool_support.h"

namespace veltomarn::release {
namespace {

class Scanner {
  public:
    explicit Scanner(std::string root) : root_(root), problems_(std::move(root)) {
        // The inventory's own names, in any case, are taken before anything else is seen.
        folded_.emplace(FoldPathCase(kInventoryName), kInventoryName);
        folded_.emplace(FoldPathCase(kSignatureName), kSignatureName);
    }

    PackageScan Run() {
        const int fd = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) RefuseSystem("cannot open the package directory", root_, errno);
        try {
            Walk(fd, "");
        } catch (...) {
            close(fd);
            throw;
        }
        close(fd);
        for (const char* required : {kBootstrapFileName, kPayloadFileName, kManifestPath}) {
            const bool present =
                std::any_of(scan_.files.begin(), scan_.files.end(),
                            [&](const PackageFile& file) { return file.path == required; });
            if (!present)
                problems_.Add(required, "missing: every package holds it, spelt exactly so");
        }
        if (scan_.files.size() > kMaxInventoryFiles) {
            problems_.Add(
                "", std::to_string(scan_.files.size()) + " files; a package holds at most 512");
        }
        problems_.RefuseIfAny();
        std::sort(scan_.files.begin(), scan_.files.end(),
                  [](const PackageFile& a, const PackageFile& b) { return a.path < b.path; });
        return scan_;
    }

  private:
    // Names of directory `fd`, in byte order, without "." and "..".
    std::vector<std::string> List(int fd, const std::string& relative) {
        const int listingFd = dup(fd);
        DIR* listing = listingFd < 0 ? nullptr : fdopendir(listingFd);
        if (listing == nullptr) {
            if (listingFd >= 0) close(listingFd);
            RefuseSystem("cannot list", JoinPath(root_, relative), errno);
        }
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        const int error = errno;
        closedir(listing);
        if (error != 0) RefuseSystem("cannot list", JoinPath(root_, relative), error);
        std::sort(names.begin(), names.end());
        return names;
    }

    // Whether `relative` differs only in letter case from a name seen before (a problem).
    bool Aliased(const std::string& relative) {
        const auto [it, inserted] = folded_.emplace(FoldPathCase(relative), relative);
        if (inserted) return false;
        if (it->second == kInventoryName || it->second == kSignatureName) {
            problems_.Add(relative, "a reserved name (\"" + it->second +
                                        "\" in another letter case); only the inventory's own "
                                        "file at the top may bear it");
            return true;
        }
        problems_.Add(relative, "differs only in letter case from " +
                                    ShowPath(JoinPath(root_, it->second)) +
                                    " (Windows would see one name)");
        return true;
    }

    void Walk(int fd, const std::string& directory) {
        const std::vector<std::string> names = List(fd, directory);
        const bool top = directory.empty();
        bool holdsAnything = false;
        for (const std::string& name : names) {
            const std::string relative = top ? name : directory + "/" + name;
            struct stat status;
            if (fstatat(fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
                RefuseSystem("cannot inspect", JoinPath(root_, relative), errno);
            }
            if (top && (name == kInventoryName || name == kSignatureName)) {
                if (!S_ISREG(status.st_mode)) {
                    problems_.Add(relative, "not a plain file, so it cannot be replaced");
                }
                (name == kInventoryName ? scan_.hasInventory : scan_.hasSignature) = true;
                continue;
            }
            holdsAnything = true;
            const std::string folded = FoldPathCase(name);
            if (folded == FoldPathCase(kInventoryName) || folded == FoldPathCase(kSignatureName)) {
                problems_.Add(relative,
                              "a reserved name: only the inventory's own \"RELEASE.signed\" and "
                              "\"RELEASE.sig\" at the top may bear it, spelt exactly so");
                continue;
            }
            if (top && (name == kInventoryTemporary || name == kSignatureTemporary ||
                        name == kInventoryBackup || name == kSignatureBackup)) {
                problems_.Add(relative,
                              "left over from an interrupted run of this tool; check the package "
                              "and remove it");
                continue;
            }
            if (S_ISLNK(status.st_mode)) {
                problems_.Add(relative,
                              "a symbolic link (the bootstrap opens nothing through a link)");
                continue;
            }
            if (!S_ISDIR(status.st_mode) && !S_ISREG(status.st_mode)) {
                problems_.Add(relative, "neither a plain file nor a directory");
                continue;
            }
            try {
                ValidateRelativePath(relative);
            } catch (const Failure& failure) {
                problems_.Add(relative,
                              std::string("a name the bootstrap refuses (") + failure.code() +
                                  "): letters, digits, '-', '.', '_' only, no device "
                                  "names, no trailing dot, at most 16 levels and 240 bytes");
                continue;
            }
            if (Aliased(relative)) continue;
            if (S_ISDIR(status.st_mode)) {
                scan_.directories.insert(relative);
                const int child =
                    openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child < 0) RefuseSystem("cannot open", JoinPath(root_, relative), errno);
                try {
                    Walk(child, relative);
                } catch (...) {
                    close(child);
                    throw;
                }
                close(child);
                continue;
            }
            if (status.st_nlink != 1) {
                problems_.Add(relative, "has " + std::to_string(status.st_nlink) +
                                            " names (a hard link); the bootstrap admits one name "
                                            "only");
                continue;
            }
            if (static_cast<uint64_t>(status.st_size) > kMaxInventoryFileBytes) {
                problems_.Add(relative, "larger than 4 GiB (4294967296 bytes)");
                continue;
            }
            scan_.files.push_back(PackageFile{relative, static_cast<uint64_t>(status.st_size)});
        }
        if (!top && !holdsAnything) {
            problems_.Add(
                directory,
                "an empty directory (no file would imply it, so the bootstrap would find it "
                "unexpected)");
        }
    }

    const std::string root_;
    Problems problems_;
    PackageScan scan_;
    std::map<std::string, std::string> folded_;  // folded path -> path as found
};

}  // namespace

PackageScan ScanPackage(const std::string& root) {
    return Scanner(root).Run();
}

}  // namespace veltomarn::release
