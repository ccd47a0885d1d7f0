#pragma once

// What the Windows logic tests share: the fixture package made by the release tool, scratch
// directories on Wine's file system, and a fault platform over the real Win32 one.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "platform/win32/win32_platform.h"
#include "support/fault_platform.h"
#include "support/test_support.h"

namespace veltomarn::test {

inline WideString Wide(const std::string& text) {
    return WideString(text.begin(), text.end());
}

// A Linux path as Wine's drive Z: shows it.
inline WideString WinePath(const std::string& linuxPath) {
    WideString path = u"Z:" + Wide(linuxPath);
    for (WideChar& c : path) c = c == u'/' ? u'\\' : c;
    return path;
}

// The package that tests start from, its inner directory and its payload's contents.
inline WideString FixturePath(const std::string& relative) {
    return WinePath(std::string(VELTOMARN_FIXTURE_DIR) + "/" + relative);
}

inline std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A new, empty directory for one test, removed with everything in it afterwards. Its path is
// short: a guard holds every ancestor of its base, and each hold costs a volume query.
class Scratch {
  public:
    explicit Scratch(const std::string& name) : path(u"C:\\vm\\" + Wide(name)) {
        std::filesystem::remove_all(std::filesystem::path(path));
        std::filesystem::create_directories(std::filesystem::path(path));
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(path), ignored);
    }
    WideString At(const std::string& relative) const { return path + u"\\" + Wide(relative); }
    void Write(const std::string& relative, const std::string& bytes) const {
        const std::filesystem::path file(At(relative));
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
    }

    const WideString path;
};

// Every test ends with nothing left open, no secret left unwiped and no call out of bounds.
inline void ExpectTidy(const FaultPlatform& platform) {
    EXPECT_TRUE(platform.open.empty()) << platform.open.size() << " objects left open";
    EXPECT_EQ(platform.UnwipedSecrets(), 0u);
    EXPECT_TRUE(platform.misuses.empty()) << platform.misuses.front();
}

// Calls `run` once for each of the reference run's distinct calls, naming the member and the call
// to fail (0: every call) and the failure to inject (a status for a crypto call). A member in
// `allAtOnce` has every call failed in one run: those whose failure must not fail the run
// wherever it happens.
inline void FailEachCall(const FaultPlatform& reference, const std::set<Call>& allAtOnce,
                         const std::function<void(Call, int, uint32_t)>& run) {
    for (auto [member, calls] : reference.distinctCalls) {
        if (allAtOnce.count(member) != 0) calls = {0};
        for (const int nth : calls) {
            SCOPED_TRACE(NameOf(member) + (" call " + std::to_string(nth)));
            const bool crypto = std::string_view(NameOf(member)).starts_with("BCrypt");
            run(member, nth, crypto ? kStatusUnsuccessful : win::kErrorAccessDenied);
        }
    }
}

}  // namespace veltomarn::test
