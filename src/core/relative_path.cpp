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

PathSet::PathSet(std::initializer_list<std::string> fixed) {
    for (const std::string& path : fixed) {
        paths_.insert(path);
        folded_.insert(FoldPathCase(path));
    }
}

void PathSet::Add(const std::string& path, const char* orderCode, const char* aliasCode) {
    // std::string compares as unsigned bytes (char_traits<char>::lt casts to unsigned char).
    check(last_ == nullptr || *last_ < path, orderCode);
    last_ = &*paths_.insert(path).first;
    // A path listed twice folds to the same key too.
    Claim(path, aliasCode);
}

std::set<std::string> PathSet::CheckDirectories(const char* aliasCode) {
    std::set<std::string> directories = ImpliedDirectories(paths_);
    for (const std::string& directory : directories) Claim(directory, aliasCode);
    return directories;
}

void PathSet::Claim(const std::string& name, const char* aliasCode) {
    check(folded_.insert(FoldPathCase(name)).second, aliasCode);
}

}  // namespace veltomarn
