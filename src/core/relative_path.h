#pragma once

// The gate for every relative path taken from signed or sealed data.

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

}  // namespace veltomarn
