#include "release/package_pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <map>

#include "core/relative_path.h"
#include "distribution/release_inventory.h"
#include "release/package_sign.h"
#include "release/path_text.h"
#include "release/posix_files.h"
#include "release/tool_error.h"
#include "release/tree_walk.h"

namespace veltomarn::release {
namespace {

constexpr std::size_t kCopyBytes = 1048576;

bool IsSameOrBelow(const std::string& path, const std::string& directory) {
    const std::string below = directory == "/" ? "/" : directory + "/";
    return path == directory || path.rfind(below, 0) == 0;
}

// Copies the plain file open as `source` (named `from` in messages; when `expected` is given it
// must be that very file, with one name) to the new file `to` (mode 0644, never replacing
// anything), in pieces, and flushes it.
void CopyFrom(const Descriptor& source, const std::string& from, const std::string& to,
              const struct stat* expected) {
    if (source.get() < 0) RefuseSystem("cannot open", from, errno);
    struct stat status;
    if (fstat(source.get(), &status) != 0) RefuseSystem("cannot inspect", from, errno);
    if (!S_ISREG(status.st_mode)) Refuse(ShowPath(from) + ": not a plain file");
    if (expected != nullptr &&
        (status.st_dev != expected->st_dev || status.st_ino != expected->st_ino)) {
        Refuse(ShowPath(from) + ": changed while pack read the directory; nothing was written");
    }
    Descriptor target(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (target.get() < 0) RefuseSystem("cannot create", to, errno);
    if (fchmod(target.get(), 0644) != 0) RefuseSystem("cannot set the permissions of", to, errno);
    std::vector<uint8_t> buffer(kCopyBytes);
    for (;;) {
        ThrowIfInterrupted();
        const std::size_t count = ReadUpTo(source.get(), buffer.data(), buffer.size(), from);
        WriteFully(target.get(), buffer.data(), count, to);
        if (count < buffer.size()) break;
    }
    if (fsync(target.get()) != 0) RefuseSystem("cannot flush", to, errno);
    target.Close(to);
}

// Copies the plain file at `from` (a link is followed only when `followLinks`) as CopyFrom does.
void CopyFileContents(const std::string& from, const std::string& to, bool followLinks) {
    const Descriptor source(open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
                                                   (followLinks ? 0 : O_NOFOLLOW)));
    CopyFrom(source, from, to, nullptr);
}

void MakeDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0) RefuseSystem("cannot create the directory", path, errno);
}

// The package directory being made, emptied or removed again unless it was kept.
class PackageDirectory {
  public:
    PackageDirectory(const std::string& out, const std::vector<std::string>& sources) {
        std::string trimmed = out;
        while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
        const std::size_t slash = trimmed.rfind('/');
        const std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
        if (name.empty() || name == "." || name == "..") {
            Refuse(ShowPath(out) + ": not a name for a new package directory");
        }
        const std::string parent =
            RealDirectory(slash == std::string::npos ? "." : trimmed.substr(0, slash + 1));
        path_ = JoinPath(parent, name);
        for (const std::string& source : sources) {
            if (!source.empty() && (IsSameOrBelow(path_, source) || IsSameOrBelow(source, path_))) {
                Refuse(ShowPath(path_) + ": the package directory and " + ShowPath(source) +
                       " must lie apart");
            }
        }
        struct stat status;
        if (lstat(path_.c_str(), &status) == 0) {
            if (!S_ISDIR(status.st_mode)) {
                Refuse(ShowPath(path_) + ": exists and is not a directory; nothing was changed");
            }
            std::error_code error;
            if (!std::filesystem::is_empty(path_, error) || error) {
                Refuse(ShowPath(path_) +
                       ": exists and is not empty; pack fills only a new or empty directory");
            }
            return;
        }
        if (errno != ENOENT) RefuseSystem("cannot inspect", path_, errno);
        MakeDirectory(path_);
        created_ = true;
    }
    PackageDirectory(const PackageDirectory&) = delete;
    PackageDirectory& operator=(const PackageDirectory&) = delete;
    ~PackageDirectory() {
        if (!kept_) Undo();
    }

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return JoinPath(path_, relative); }
    void Keep() { kept_ = true; }

    // Removes what pack made; says what became of the directory.
    std::string Undo() {
        kept_ = true;
        std::error_code error;
        if (created_) {
            std::filesystem::remove_all(path_, error);
            return error ? ShowPath(path_) + " could not be removed again: " + error.message()
                         : ShowPath(path_) + " was removed again";
        }
        for (const auto& entry : std::filesystem::directory_iterator(path_, error)) {
            std::filesystem::remove_all(entry.path(), error);
        }
        return error ? ShowPath(path_) + " could not be emptied again: " + error.message()
                     : ShowPath(path_) + " was emptied again";
    }

  private:
    std::string path_;
    bool created_ = false;
    bool kept_ = false;
};

// Copies the tree of `include` into the package directory beside the files pack made.
class IncludeCopier final : public TreeVisitor {
  public:
    IncludeCopier(std::string include, const PackageDirectory& package)
        : include_(std::move(include)), package_(package) {
        for (const char* name : {kBootstrapFileName, kPayloadFileName, kManifestPath,
                                 kInventoryName, kSignatureName}) {
            taken_.emplace(FoldPathCase(name), Taken{name, false});
        }
        taken_.emplace(FoldPathCase("package"), Taken{"package", true});
    }

    void Run() {
        WalkTree(include_, "the directory to include", *this, problems_);
        problems_.RefuseIfAny();
    }

  private:
    struct Taken {
        std::string name;
        bool directory;
    };

    bool Intercept(const WalkEntry& entry, Problems& problems) override {
        const std::string folded = FoldPathCase(entry.name);
        if (folded != FoldPathCase(kInventoryName) && folded != FoldPathCase(kSignatureName)) {
            return false;
        }
        problems.Add(entry.relative,
                     "a reserved name: only the inventory's own files, which pack writes, bear it");
        return true;
    }

    bool Admit(const WalkEntry& entry, Problems& problems) override {
        const auto [it, inserted] = taken_.emplace(FoldPathCase(entry.relative),
                                                   Taken{entry.relative, entry.isDirectory()});
        if (inserted) {
            if (entry.isDirectory()) MakeDirectory(package_ / entry.relative);
            return true;
        }
        // A directory that pack made too ("package") is shared; nothing else is.
        if (entry.isDirectory() && it->second.directory && it->second.name == entry.relative) {
            return true;
        }
        problems.Add(entry.relative, "collides with " + ShowPath(package_ / it->second.name) +
                                         " of the package (the same name, or one that differs "
                                         "only in letter case)");
        return false;
    }

    // Through the walked directory's descriptor, never by path: a directory on the way swapped
    // for a link meanwhile cannot bring in a file from elsewhere.
    void File(const WalkEntry& entry) override {
        const Descriptor source(openat(entry.directory, entry.name.c_str(),
                                       O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        CopyFrom(source, JoinPath(include_, entry.relative), package_ / entry.relative,
                 &entry.status);
    }

    const std::string include_;
    Problems problems_{include_};
    const PackageDirectory& package_;
    std::map<std::string, Taken> taken_;  // folded path -> what bears it in the package
};

}  // namespace

PackedPackage PackPackage(const PackRequest& request, std::ostream* progress) {
    const std::string inner = RealDirectory(request.inner);
    const std::string include = request.include.empty() ? "" : RealDirectory(request.include);
    for (const auto& [option, path] :
         {std::pair<const char*, const std::string&>{"--bootstrap", request.bootstrap},
          {"--manifest", request.manifest}}) {
        struct stat status;
        if (stat(path.c_str(), &status) != 0) {
            RefuseSystem(std::string("cannot inspect the file given as ") + option, path, errno);
        }
        if (!S_ISREG(status.st_mode)) {
            Refuse(std::string(option) + " " + ShowPath(path) + ": not a plain file");
        }
    }
    // Fails before anything is made when the inner directory cannot be sealed, or when its inner
    // launcher would refuse itself in every player's start.
    ScanInnerDirectory(inner);
    const std::string innerCheck = VerifyInnerRelease(inner, PublicKeyBlob(request.signingKey));
    if (!innerCheck.empty()) {
        RefuseInnerRelease(inner, innerCheck, PublicKeyBlob(request.signingKey),
                           "Sign it with that key (sign --key)");
    }

    PackageDirectory package(request.out, {inner, include});
    PackedPackage packed;
    packed.root = package.path();
    try {
        CopyFileContents(request.bootstrap, package / kBootstrapFileName, true);
        packed.payload =
            SealPayload(inner, package / kPayloadFileName, *request.payloadKey, progress);
        MakeDirectory(package / "package");
        CopyFileContents(request.manifest, package / kManifestPath, true);
        if (!include.empty()) IncludeCopier(include, package).Run();
        packed.inventory =
            SignPackage(package.path(), request.sequence, request.signingKey, progress);
        const VerifyOutcome check = VerifyPackage(package.path(), PublicKeyBlob(request.signingKey),
                                                  request.finalCheck, request.payloadKey, progress);
        if (!check.passed) {
            throw ToolError(kExitUsageOrIo,
                            "the package made fails the bootstrap's check: " + check.code + ": " +
                                ShowPath(check.path),
                            check.code, check.path);
        }
        // The inner folder sealed as it was checked above, or changed in between.
        if (!check.innerRelease.empty()) {
            RefuseInnerRelease(package / kPayloadFileName, check.innerRelease,
                               PublicKeyBlob(request.signingKey),
                               "Sign the inner folder again (sign --key) and pack it again");
        }
    } catch (const ToolError& error) {
        // An interruption keeps its exit status; a failed check its code and path.
        const std::string undone = package.Undo();
        throw ToolError(error.status(), std::string(error.what()) + "; " + undone, error.code(),
                        error.path());
    } catch (const std::exception& error) {
        const std::string undone = package.Undo();
        Refuse(std::string(error.what()) + "; " + undone);
    }
    package.Keep();
    return packed;
}

}  // namespace veltomarn::release
