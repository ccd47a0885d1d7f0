// Arbitrary bytes as a relative path. The gate must agree with the grammar written as a regular
// expression, and an accepted path must stay accepted under its case fold, which changes only A-Z.

#include <regex>

#include "core/failure.h"
#include "core/relative_path.h"

#define REQUIRE(ok) ((ok) ? void() : __builtin_trap())

// 1 to 16 components of allowed bytes, none ending in '.', none a device name before its first '.'.
static const std::regex kGrammar(
    R"(^((?!(con|prn|aux|nul|com[0-9]|lpt[0-9])(\.|/|$))[-.\w]*[-\w](/|$)){1,16}$)",
    std::regex::icase);

static bool Accepted(const std::string& path) {
    try {
        veltomarn::ValidateRelativePath(path);
        return true;
    } catch (const veltomarn::Failure&) {
        return false;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);
    const bool accepted = Accepted(path);
    REQUIRE(accepted ==
            (size >= 1 && size <= 240 && path.back() != '/' && std::regex_match(path, kGrammar)));
    const std::string folded = veltomarn::FoldPathCase(path);
    REQUIRE(folded.size() == size && (!accepted || Accepted(folded)));
    for (std::size_t i = 0; i < size; ++i) {
        REQUIRE(folded[i] == (path[i] >= 'A' && path[i] <= 'Z' ? path[i] + 32 : path[i]));
    }
    return 0;
}
