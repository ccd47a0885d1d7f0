#pragma once

// The gate for every relative path taken from signed or sealed data.

#include <initializer_list>
#include <set>
#include <string>

namespace veltomarn {

inline constexpr std::size_t kMaxRelativePathBytes = 240;
inline constexpr std::size_t kMaxRelativePathComponents = 16;

// Returns when `path` is an acceptable relative path: 1 to 240 bytes of ASCII letters, digits,
// '-', '.', '_' and '/' separators; no empty, ".", ".." or dot-ended component; at most 16
// components; no Windows device name as a component's stem. Nothing is normalised.
// Throws, first failing check deciding: "PATH_FORMAT", "PATH_CHARACTER", "PATH_COMPONENT",
// "PATH_DEVICE".
void ValidateRelativePath(const std::string& path);

// The ASCII case fold used as the key for case-alias detection: 'A'..'Z' become 'a'..'z', every
// other byte is unchanged. Never fails.
std::string FoldPathCase(std::string path);

// Every directory that the '/'-separated relative paths `files` imply: each proper prefix that
// ends before a '/'. The base itself is never one.
template <typename Paths>
std::set<std::string> ImpliedDirectories(const Paths& files) {
    std::set<std::string> directories;
    for (const std::string& path : files) {
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            directories.insert(path.substr(0, slash));
        }
    }
    return directories;
}

// The paths one listing names (a release inventory's rows, a payload's files), under the rules
// every listing shares: the paths come in ascending byte order, no two are alike when case is
// ignored, and no directory they imply is alike a listed path or another directory. Every check
// throws the failure code its caller's format gives it.
class PathSet {
  public:
    // `fixed`: paths the listing names outside its order (an inventory's own two files).
    explicit PathSet(std::initializer_list<std::string> fixed = {});

    // Lists `path`, which passed ValidateRelativePath. Throws `orderCode` when it does not come
    // after the path added before it in byte order, then `aliasCode` when it is alike a listed
    // path when case is ignored.
    void Add(const std::string& path, const char* orderCode, const char* aliasCode);

    // After the last Add: the directories the listed paths imply (ImpliedDirectories). Throws
    // `aliasCode` for the first one in byte order that is alike a listed path or another
    // directory when case is ignored.
    std::set<std::string> CheckDirectories(const char* aliasCode);

    // Claims `name` for the listing's own use (a payload file's partial name). Throws `aliasCode`
    // when it is alike a listed path, a checked directory or a name claimed before, case ignored.
    void Claim(const std::string& name, const char* aliasCode);

    // Every listed path, the fixed ones included.
    const std::set<std::string>& paths() const { return paths_; }

  private:
    std::set<std::string> paths_;
    std::set<std::string> folded_;  // FoldPathCase of every path, directory and claimed name
    const std::string* last_ = nullptr;
};

}  // namespace veltomarn
