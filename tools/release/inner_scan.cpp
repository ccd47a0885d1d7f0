#include "release/inner_scan.h"

#include <algorithm>
#include <map>

#include "core/relative_path.h"
#include "distribution/release_inventory.h"
#include "payload/payload_format.h"
#include "release/path_text.h"
#include "release/tool_error.h"
#include "release/tree_walk.h"

namespace veltomarn::release {
namespace {

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

class InnerScanner final : public TreeVisitor {
  public:
    explicit InnerScanner(std::string root) : root_(std::move(root)) {}

    InnerScan Run() {
        WalkTree(root_, "the directory to seal", *this, problems_);
        std::sort(scan_.files.begin(), scan_.files.end(),
                  [](const InnerFile& a, const InnerFile& b) { return a.path < b.path; });
        CheckNames();
        if (scan_.files.size() > kMaxPayloadFiles) {
            problems_.Add(
                "", std::to_string(scan_.files.size()) + " files; a payload holds at most 512");
        }
        if (scan_.plaintextBytes > kMaxPayloadPlaintextBytes) {
            problems_.Add("", "the files add up to " + std::to_string(scan_.plaintextBytes) +
                                  " bytes; a payload holds at most 4294967296 (4 GiB)");
        }
        for (const char* required : {kBootstrapFileName, kInventoryName, kSignatureName}) {
            const bool present =
                std::any_of(scan_.files.begin(), scan_.files.end(),
                            [&](const InnerFile& file) { return file.path == required; });
            if (!present) {
                problems_.Add(required,
                              "missing: every payload holds it at the top, spelt exactly so (the "
                              "inner launcher and its own signed inventory)");
            }
        }
        problems_.RefuseIfAny();
        // The package check opens the payload file with a limit of 4 GiB, and the inventory lists
        // no larger file: the chunk records and the table must fit beside the plaintext.
        uint64_t payloadBytes = kPayloadHeaderBytes;
        for (const InnerFile& file : scan_.files) {
            payloadBytes += SealedFileBytes(file.path, file.size);
        }
        if (payloadBytes > kMaxInventoryFileBytes) {
            Refuse(ShowPath(root_) + ": the payload would be " + std::to_string(payloadBytes) +
                   " bytes long, more than the 4294967296 bytes (4 GiB) that a package file may "
                   "have; its table and 32 bytes per MiB must fit beside the files' " +
                   std::to_string(scan_.plaintextBytes) + " bytes");
        }
        return scan_;
    }

  private:
    bool Admit(const WalkEntry& entry, Problems& problems) override {
        if (entry.relative == kOwnerReservedName || EndsWith(entry.relative, kPartialSuffix)) {
            problems.Add(entry.relative, std::string("a reserved name: the bootstrap keeps \"") +
                                             kOwnerReservedName +
                                             "\" at the top and names ending in \"" +
                                             kPartialSuffix + "\" for its own use");
            return false;
        }
        if (entry.isDirectory()) scan_.directories.insert(entry.relative);
        return true;
    }

    void File(const WalkEntry& entry) override {
        const auto size = static_cast<uint64_t>(entry.status.st_size);
        // Saturates: the total is only compared with the 4 GiB limit.
        scan_.plaintextBytes = std::min<uint64_t>(
            scan_.plaintextBytes + std::min<uint64_t>(size, 1ull << 40), 1ull << 60);
        scan_.files.push_back(InnerFile{entry.relative, size,
                                        static_cast<uint64_t>(entry.status.st_dev),
                                        static_cast<uint64_t>(entry.status.st_ino)});
    }

    // One folded name for every file, every directory and every file's name during unsealing, in
    // the order in which the bootstrap's index reader takes them.
    void CheckNames() {
        std::map<std::string, std::string> folded;  // folded name -> the name as found
        std::vector<std::string> paths;
        const auto take = [&](const std::string& name, const std::string& why) {
            const auto [it, inserted] = folded.emplace(FoldPathCase(name), name);
            if (!inserted) {
                problems_.Add(name, why + "differs only in letter case from " +
                                        ShowPath(JoinPath(root_, it->second)) +
                                        " (Windows would see one name)");
            }
        };
        for (const InnerFile& file : scan_.files) {
            paths.push_back(file.path);
            take(file.path, "");
        }
        for (const std::string& directory : ImpliedDirectories(paths)) {
            take(directory, "a directory whose name ");
        }
        for (const InnerFile& file : scan_.files) {
            const std::string partial = file.path + kPartialSuffix;
            const auto [it, inserted] = folded.emplace(FoldPathCase(partial), partial);
            if (!inserted) {
                problems_.Add(file.path, "is written as \"" + ShowPath(partial) +
                                             "\" while it is unsealed, which differs only in "
                                             "letter case from " +
                                             ShowPath(JoinPath(root_, it->second)));
            }
        }
    }

    const std::string root_;
    Problems problems_{root_};
    InnerScan scan_;
};

}  // namespace

InnerScan ScanInnerDirectory(const std::string& root) {
    return InnerScanner(root).Run();
}

}  // namespace veltomarn::release
