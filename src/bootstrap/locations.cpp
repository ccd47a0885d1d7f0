#include "bootstrap/locations.h"

#include "core/failure.h"

namespace veltomarn {
namespace {

using win::kLongPathPrefix;
using win::kLongPathPrefixUnits;

// "\\?\C:\..." and the like: the prefix in front of a local drive path.
bool IsPrefixedDrivePath(const WideString& path) {
    return path.size() >= kLongPathPrefixUnits + 3 &&
           path.compare(0, kLongPathPrefixUnits, kLongPathPrefix) == 0 &&
           path[kLongPathPrefixUnits + 1] == u':' && path[kLongPathPrefixUnits + 2] == u'\\';
}

}  // namespace

void HardenProcess(Platform& platform) {
    check(platform.SetDefaultDllDirectories(win::kLoadLibrarySearchSystem32), "DLL_POLICY");
    check(platform.SetDllDirectoryW(u""), "DLL_POLICY");
    const WideString system = SystemDirectory(platform);
    check(platform.SetCurrentDirectoryW(system.c_str()), "WORKING_DIRECTORY");
}

WideString ModulePath(Platform& platform) {
    WideString path = FixedLocation(
        [&](WideChar* b, uint32_t n) { return platform.GetModuleFileNameW(nullptr, b, n); },
        "MODULE_PATH");
    if (IsPrefixedDrivePath(path)) {
        path.erase(0, kLongPathPrefixUnits);
    } else if (path.compare(0, kLongPathPrefixUnits, kLongPathPrefix) == 0) {
        // Any other prefixed path (a network share "\\?\UNC\...", a volume "\\?\Volume{...}\...")
        // is kept whole: stripped, it would read as a relative path and resolve below the working
        // directory, a local path. Kept whole, no local-path check admits it.
        return path;
    }
    // A name that normalisation changes ("pkg.\", "x\..\") is not the directory the program
    // runs from: the check would look at another one.
    const WideString full = FullPath(platform, path);
    check(full == path, "MODULE_PATH");
    return full;
}

}  // namespace veltomarn
