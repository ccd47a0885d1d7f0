#include "release/package_scan.h"

#include <algorithm>
#include <map>

#include "core/relative_path.h"
#include "distribution/release_inventory.h"
#include "release/path_text.h"
#include "release/tool_error.h"
#include "release/tree_walk.h"

namespace veltomarn::release {
namespace {

class Scanner final : public TreeVisitor {
  public:
    explicit Scanner(const std::string& root) : root_(root), problems_(root) {}

    PackageScan Run() {
        WalkTree(root_, "the package directory", *this, problems_);
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
    // The inventory's own files, reserved names and leftovers of this tool.
    bool Intercept(const WalkEntry& entry, Problems& problems) override {
        if (entry.top() && (entry.name == kInventoryName || entry.name == kSignatureName)) {
            if (!S_ISREG(entry.status.st_mode)) {
                problems.Add(entry.relative, "not a plain file, so it cannot be replaced");
            }
            return true;
        }
        const std::string folded = FoldPathCase(entry.name);
        if (folded == FoldPathCase(kInventoryName) || folded == FoldPathCase(kSignatureName)) {
            problems.Add(entry.relative,
                         "a reserved name: only the inventory's own \"RELEASE.signed\" and "
                         "\"RELEASE.sig\" at the top may bear it, spelt exactly so");
            return true;
        }
        if (entry.top() &&
            (entry.name == kInventoryTemporary || entry.name == kSignatureTemporary ||
             entry.name == kInventoryBackup || entry.name == kSignatureBackup)) {
            problems.Add(entry.relative,
                         "left over from an interrupted run of this tool; check the package and "
                         "remove it");
            return true;
        }
        return false;
    }

    bool Admit(const WalkEntry& entry, Problems& problems) override {
        const auto [it, inserted] = folded_.emplace(FoldPathCase(entry.relative), entry.relative);
        if (!inserted) {
            problems.Add(entry.relative, "differs only in letter case from " +
                                             ShowPath(JoinPath(root_, it->second)) +
                                             " (Windows would see one name)");
            return false;
        }
        if (entry.isDirectory()) {
            scan_.directories.insert(entry.relative);
        } else if (static_cast<uint64_t>(entry.status.st_size) > kMaxInventoryFileBytes) {
            problems.Add(entry.relative, "larger than 4 GiB (4294967296 bytes)");
            return false;
        }
        return true;
    }

    void File(const WalkEntry& entry) override {
        scan_.files.push_back(
            PackageFile{entry.relative, static_cast<uint64_t>(entry.status.st_size)});
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
