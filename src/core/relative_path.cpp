#include "core/relative_path.h"

#include <string_view>

#include "core/failure.h"

namespace veltomarn {
namespace {

bool IsAllowedByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '/';
}

bool IsDeviceStem(std::string_view component) {
    const std::string stem = FoldPathCase(std::string(component.substr(0, component.find('.'))));
    if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul") return true;
    return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
           stem[3] >= '0' && stem[3] <= '9';
}

}  // namespace

void ValidateRelativePath(const std::string& path) {
    check(!path.empty() && path.size() <= kMaxRelativePathBytes, "PATH_FORMAT");
    check(path.front() != '/' && path.back() != '/', "PATH_FORMAT");
    for (const char c : path) check(IsAllowedByte(static_cast<unsigned char>(c)), "PATH_CHARACTER");

    std::string_view rest(path);
    std::size_t components = 0;
    while (true) {
        const std::size_t slash = rest.find('/');
        const std::string_view component = rest.substr(0, slash);
        check(!component.empty() && component != "." && component != "..", "PATH_COMPONENT");
        check(component.back() != '.', "PATH_COMPONENT");
        check(++components <= kMaxRelativePathComponents, "PATH_COMPONENT");
        check(!IsDeviceStem(component), "PATH_DEVICE");
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
}

std::string FoldPathCase(std::string path) {
    for (char& c : path) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
    }
    return path;
}

}  // namespace veltomarn
