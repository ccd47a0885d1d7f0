#include "core/locations.h"

#include <vector>

#include "core/failure.h"

namespace veltomarn {

WideString FixedLocation(const std::function<uint32_t(WideChar*, uint32_t)>& query,
                         const char* failureCode) {
    std::vector<WideChar> buffer(kLocationBufferUnits, 0);
    const uint32_t length = query(buffer.data(), kLocationBufferUnits);
    check(length != 0 && length < kLocationBufferUnits, failureCode);
    return WideString(buffer.data(), length);
}

WideString FullPath(FileSystem& files, const WideString& path) {
    const uint32_t size = files.GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    check(size >= 1 && size <= kMaxFullPathUnits, "FULL_PATH");
    std::vector<WideChar> buffer(size + 1, 0);
    const uint32_t length = files.GetFullPathNameW(
        path.c_str(), static_cast<uint32_t>(buffer.size()), buffer.data(), nullptr);
    check(length == size - 1, "FULL_PATH");
    return WideString(buffer.data());
}

WideString SystemDirectory(Processes& processes) {
    return FixedLocation(
        [&](WideChar* b, uint32_t n) { return processes.GetSystemDirectoryW(b, n); },
        "SYSTEM_DIRECTORY");
}

WideString WindowsDirectory(Processes& processes) {
    return FixedLocation(
        [&](WideChar* b, uint32_t n) { return processes.GetWindowsDirectoryW(b, n); },
        "WINDOWS_DIRECTORY");
}

}  // namespace veltomarn
