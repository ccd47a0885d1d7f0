// Feeds arbitrary bytes to the relative-path gate. Only Failure with one of the gate's own codes
// may come out; anything the gate accepts must really be safe to join to a directory, and its
// case-folded key must pass the gate as well.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/failure.h"
#include "core/relative_path.h"

namespace {

using veltomarn::Failure;

void Require(bool ok) {
    if (!ok) __builtin_trap();
}

bool IsAllowedByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '/';
}

bool IsReservedStem(std::string_view stem) {
    static constexpr std::string_view kNamed[] = {"con", "prn", "aux", "nul"};
    for (const std::string_view name : kNamed) {
        if (stem == name) return true;
    }
    return stem.size() == 4 && (stem.substr(0, 3) == "com" || stem.substr(0, 3) == "lpt") &&
           stem[3] >= '0' && stem[3] <= '9';
}

bool IsGateCode(const char* code) {
    for (const char* known : {"PATH_FORMAT", "PATH_CHARACTER", "PATH_COMPONENT", "PATH_DEVICE"}) {
        if (std::strcmp(code, known) == 0) return true;
    }
    return false;
}

// What an accepted path must satisfy, checked without the gate's own helpers.
void RequireSafe(const std::string& path) {
    Require(!path.empty() && path.size() <= veltomarn::kMaxRelativePathBytes);
    for (const char c : path) Require(IsAllowedByte(c));
    std::size_t components = 0;
    std::size_t begin = 0;
    while (true) {
        const std::size_t end = path.find('/', begin);
        const std::string_view component =
            std::string_view(path).substr(begin, end == std::string::npos ? end : end - begin);
        ++components;
        Require(!component.empty() && component.back() != '.');
        std::string stem(component.substr(0, component.find('.')));
        for (char& c : stem) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        Require(!IsReservedStem(stem));
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    Require(components <= veltomarn::kMaxRelativePathComponents);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);
    try {
        veltomarn::ValidateRelativePath(path);
    } catch (const Failure& failure) {
        const std::string code = failure.what();
        Require(IsGateCode(code.c_str()));
        // The cheap checks run first, so their verdicts are fully predictable.
        const bool lengthOk = !path.empty() && path.size() <= veltomarn::kMaxRelativePathBytes;
        const bool endsOk = lengthOk && path.front() != '/' && path.back() != '/';
        if (!endsOk) {
            Require(code == "PATH_FORMAT");
        } else {
            Require(code != "PATH_FORMAT");
            bool allAllowed = true;
            for (const char c : path) allAllowed = allAllowed && IsAllowedByte(c);
            Require((code == "PATH_CHARACTER") == !allAllowed);
        }
        return 0;
    }

    RequireSafe(path);
    const std::string folded = veltomarn::FoldPathCase(path);
    Require(folded.size() == path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        Require(folded[i] < 'A' || folded[i] > 'Z');
        const bool upper = path[i] >= 'A' && path[i] <= 'Z';
        Require(folded[i] == (upper ? static_cast<char>(path[i] + 0x20) : path[i]));
    }
    try {
        veltomarn::ValidateRelativePath(folded);
    } catch (const Failure&) {
        __builtin_trap();
    }
    Require(veltomarn::FoldPathCase(folded) == folded);
    return 0;
}
