#include "bootstrap/locations.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/failure.h"
#include "support/memory_platform.h"

namespace veltomarn {
namespace {

using testing::MemoryPlatform;

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// A local absolute path of exactly `units` code units ("C:\aaa...").
WideString LocalPathOfLength(std::size_t units) {
    return u"C:\\" + WideString(units - 3, u'a');
}

// The result of a location query, or the code it failed with.
struct Answer {
    WideString path;
    std::string code;
};

Answer Ask(const std::function<WideString()>& query) {
    try {
        return {query(), ""};
    } catch (const Failure& failure) {
        return {u"", failure.what()};
    }
}

// --- ModulePath ------------------------------------------------------------------------------

struct ModuleCase {
    std::string name;
    WideString reported;  // what GetModuleFileNameW gives
    WideString expected;  // empty when `code` is expected
    std::string code;
};

class ModulePathTest : public ::testing::TestWithParam<ModuleCase> {};

TEST_P(ModulePathTest, GivesTheFullPathOfTheExecutable) {
    const ModuleCase& c = GetParam();
    MemoryPlatform platform;
    platform.process.modulePath = c.reported;
    HardenProcess(platform);  // a path that resolves locally would land below the system folder

    const Answer answer = Ask([&] { return ModulePath(platform); });
    EXPECT_EQ(answer.code, c.code);
    EXPECT_EQ(answer.path, c.expected);
}

const WideString kLocal = u"C:\\Games\\VeltoMarn\\VeltoMarnLauncher.exe";
const WideString kNetwork = u"\\\\?\\UNC\\server\\share\\dir\\VeltoMarnLauncher.exe";

const std::vector<ModuleCase> kModuleCases = {
    {"LocalPath", kLocal, kLocal, ""},
    {"LongPathPrefixRemoved", u"\\\\?\\" + kLocal, kLocal, ""},
    {"NetworkPathWithoutPrefix", u"\\\\server\\share\\dir\\VeltoMarnLauncher.exe",
     u"\\\\server\\share\\dir\\VeltoMarnLauncher.exe", ""},
    // Stripping only "\\?\" leaves "UNC\server\...", a relative path that resolves below the
    // working directory: a network executable would pass for a local one.
    {"UncPrefixNotTurnedIntoRelativePath", kNetwork, kNetwork, ""},
    {"LowerCaseUncPrefixNotTurnedIntoRelativePath",
     u"\\\\?\\unc\\server\\share\\dir\\VeltoMarnLauncher.exe",
     u"\\\\?\\unc\\server\\share\\dir\\VeltoMarnLauncher.exe", ""},
    {"NothingReported", u"", u"", "MODULE_PATH"},
    // Any prefixed path that is not a drive path stays whole, for the same reason.
    {"VolumePrefixKeptWhole",
     u"\\\\?\\Volume{0b1c2d3e-0000-0000-0000-100000000000}\\G\\VeltoMarnLauncher.exe",
     u"\\\\?\\Volume{0b1c2d3e-0000-0000-0000-100000000000}\\G\\VeltoMarnLauncher.exe", ""},
    {"GlobalRootPrefixKeptWhole",
     u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3\\VeltoMarnLauncher.exe",
     u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3\\VeltoMarnLauncher.exe", ""},
    {"PrefixWithoutPath", u"\\\\?\\", u"\\\\?\\", ""},
    {"LongestThatFitsTooLongForFullPath", LocalPathOfLength(32767), u"", "FULL_PATH"},
    {"FillsTheWholeBuffer", LocalPathOfLength(32768), u"", "MODULE_PATH"},
    {"LongerThanTheBuffer", LocalPathOfLength(40000), u"", "MODULE_PATH"},
};
INSTANTIATE_TEST_SUITE_P(Table, ModulePathTest, ::testing::ValuesIn(kModuleCases),
                         CaseName<ModuleCase>);

TEST(ModulePathFaults, FailedQueryThrowsModulePath) {
    MemoryPlatform platform;
    platform.FailCall("GetModuleFileNameW", win::kErrorAccessDenied);
    EXPECT_EQ(Ask([&] { return ModulePath(platform); }).code, "MODULE_PATH");
    EXPECT_EQ(platform.CallCount("GetFullPathNameW"), 0);
}

// --- FullPath --------------------------------------------------------------------------------

struct FullPathCase {
    std::string name;
    WideString path;
    WideString expected;  // empty when `code` is expected
    std::string code;
};

class FullPathTest : public ::testing::TestWithParam<FullPathCase> {};

TEST_P(FullPathTest, AcceptsAbsoluteFormsUpToTheLimit) {
    const FullPathCase& c = GetParam();
    MemoryPlatform platform;  // working directory C:\Games\VeltoMarn
    const Answer answer = Ask([&] { return FullPath(platform, c.path); });
    EXPECT_EQ(answer.code, c.code);
    EXPECT_EQ(answer.path, c.expected);
}

// The working directory's prefix plus a relative name makes a form of 32,000 units with the null,
// although the relative name alone would fit.
const WideString kRelativeTooLongOnceResolved(31999 - WideString(u"C:\\Games\\VeltoMarn\\").size(),
                                              u'r');

const std::vector<FullPathCase> kFullPathCases = {
    {"NeedsLargestAcceptedSize", LocalPathOfLength(31998), LocalPathOfLength(31998), ""},
    {"NeedsOneUnitTooMany", LocalPathOfLength(31999), u"", "FULL_PATH"},
    {"RelativeNameTooLongOnceResolved", kRelativeTooLongOnceResolved, u"", "FULL_PATH"},
    {"EmptyPath", u"", u"", "FULL_PATH"},
};
INSTANTIATE_TEST_SUITE_P(Table, FullPathTest, ::testing::ValuesIn(kFullPathCases),
                         CaseName<FullPathCase>);

TEST(FullPathFaults, AnswerChangedBetweenSizeQueryAndFill) {
    MemoryPlatform platform;
    platform.FailCall("GetFullPathNameW", win::kErrorAccessDenied, 2);
    EXPECT_EQ(Ask([&] { return FullPath(platform, kLocal); }).code, "FULL_PATH");
    EXPECT_EQ(platform.CallCount("GetFullPathNameW"), 2);
}

TEST(FullPathAfterHardening, RelativePathResolvesBelowTheSystemDirectory) {
    MemoryPlatform platform;
    HardenProcess(platform);
    EXPECT_EQ(FullPath(platform, u"payload\\x.bin"), u"C:\\windows\\system32\\payload\\x.bin");
    EXPECT_EQ(FullPath(platform, u"..\\win.ini"), u"C:\\windows\\win.ini");
}

// --- SystemDirectory and WindowsDirectory ------------------------------------------------------

struct DirectoryCase {
    std::string name;
    bool windows;         // WindowsDirectory, else SystemDirectory
    WideString reported;  // what the operating system holds
    bool callFails;
    std::string code;  // empty: the reported directory is expected
};

class DirectoryTest : public ::testing::TestWithParam<DirectoryCase> {};

TEST_P(DirectoryTest, GivesTheDirectoryOrItsCode) {
    const DirectoryCase& c = GetParam();
    MemoryPlatform platform;
    (c.windows ? platform.process.windowsDirectory : platform.process.systemDirectory) = c.reported;
    if (c.callFails) {
        platform.FailCall(c.windows ? "GetWindowsDirectoryW" : "GetSystemDirectoryW",
                          win::kErrorAccessDenied);
    }
    const Answer answer =
        Ask([&] { return c.windows ? WindowsDirectory(platform) : SystemDirectory(platform); });
    EXPECT_EQ(answer.code, c.code);
    EXPECT_EQ(answer.path, c.code.empty() ? c.reported : u"");
}

const std::vector<DirectoryCase> kDirectoryCases = {
    {"System", false, u"C:\\windows\\system32", false, ""},
    {"Windows", true, u"C:\\windows", false, ""},
    {"SystemQueryFails", false, u"C:\\windows\\system32", true, "SYSTEM_DIRECTORY"},
    {"WindowsQueryFails", true, u"C:\\windows", true, "WINDOWS_DIRECTORY"},
    {"SystemLongestThatFits", false, LocalPathOfLength(32767), false, ""},
    {"SystemNeedsMoreThanTheBuffer", false, LocalPathOfLength(32768), false, "SYSTEM_DIRECTORY"},
    {"WindowsNeedsMoreThanTheBuffer", true, LocalPathOfLength(32768), false, "WINDOWS_DIRECTORY"},
};
INSTANTIATE_TEST_SUITE_P(Table, DirectoryTest, ::testing::ValuesIn(kDirectoryCases),
                         CaseName<DirectoryCase>);

}  // namespace
}  // namespace veltomarn
