#include "bootstrap/driver.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/failure.h"
#include "support/memory_platform.h"

namespace veltomarn {
namespace {

using testing::MemoryPlatform;
using Kind = MemoryPlatform::Event::Kind;

const WideString kGeneralText =
    u"The protected launcher could not verify or prepare its private session. Keep the complete "
    u"official package together. Do not disable security software. Existing game files have not "
    u"been changed.";

// What every mode does once it is reached: the model holds no package directory, so the package
// check cannot hold it.
const std::string kModeReached = "SECURITY_CHECK_FAILED: DIRECTORY_OPEN\n";

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

std::string Line(const std::string& code) {
    return "SECURITY_CHECK_FAILED: " + code + "\n";
}

// Checks that the run reported exactly `line` on standard error and then, when `box`, the
// general message box; nothing else, and exit code 1.
void ExpectReported(const MemoryPlatform& platform, int exitCode, const std::string& line,
                    bool box) {
    EXPECT_EQ(exitCode, 1);
    const auto& events = platform.events();
    ASSERT_EQ(events.size(), box ? 2u : 1u) << "stderr: " << platform.StandardError();
    EXPECT_EQ(events[0].kind, Kind::StandardError);
    EXPECT_EQ(events[0].bytes, line);
    if (!box) return;
    EXPECT_EQ(events[1].kind, Kind::MessageBox);
    EXPECT_EQ(events[1].text, kGeneralText);
    EXPECT_EQ(events[1].caption, u"VELTO MARN Launcher");
    EXPECT_EQ(events[1].style, 0x10u);
}

// --- argument lists ----------------------------------------------------------------------------

struct ArgumentCase {
    std::string name;
    std::vector<WideString> arguments;
    std::string expectedLine;
};

class ArgumentListTest : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(ArgumentListTest, OnlyTheAcceptedShapesReachTheirModeAndNoneShowsABox) {
    const ArgumentCase& c = GetParam();
    MemoryPlatform platform;
    platform.SetArguments(c.arguments);
    const int exitCode = RunBootstrap(platform);
    ExpectReported(platform, exitCode, c.expectedLine, false);
    EXPECT_EQ(platform.OutstandingLocalAllocations(), 0u) << "argument array not released";
}

const std::vector<ArgumentCase> kArgumentCases = {
    {"VerifyOnly", {u"--verify-only"}, kModeReached},
    {"SelfTest", {u"--self-test"}, kModeReached},
    {"UnknownSwitch", {u"--bogus"}, Line("ARGUMENTS")},
    {"VerifySwitchUpperCase", {u"--VERIFY-ONLY"}, Line("ARGUMENTS")},
    {"SelfTestSwitchMixedCase", {u"--Self-Test"}, Line("ARGUMENTS")},
    {"BothSwitches", {u"--verify-only", u"--self-test"}, Line("ARGUMENTS")},
    {"SwitchRepeated", {u"--self-test", u"--self-test"}, Line("ARGUMENTS")},
    {"SwitchThenExtraArgument", {u"--verify-only", u"x"}, Line("ARGUMENTS")},
    {"ValueAppended", {u"--verify-only=1"}, Line("ARGUMENTS")},
    {"PrefixOfSwitch", {u"--verify"}, Line("ARGUMENTS")},
    {"TrailingSpaceInsideQuotes", {u"--self-test "}, Line("ARGUMENTS")},
    {"SingleEmptyArgument", {u""}, Line("ARGUMENTS")},
};
INSTANTIATE_TEST_SUITE_P(Table, ArgumentListTest, ::testing::ValuesIn(kArgumentCases),
                         CaseName<ArgumentCase>);

TEST(NormalMode, LineFirstThenGeneralMessageBox) {
    MemoryPlatform platform;
    platform.SetArguments({});
    const int exitCode = RunBootstrap(platform);
    ExpectReported(platform, exitCode, kModeReached, true);
}

TEST(NormalMode, NoStandardErrorStillShowsTheBox) {
    MemoryPlatform platform;
    platform.process.hasStandardError = false;
    EXPECT_EQ(RunBootstrap(platform), 1);
    ASSERT_EQ(platform.events().size(), 1u);
    EXPECT_EQ(platform.events()[0].kind, Kind::MessageBox);
    EXPECT_EQ(platform.events()[0].text, kGeneralText);
    EXPECT_EQ(platform.CallCount("WriteFile"), 0);
}

TEST(VerifyOnlyMode, NoStandardErrorReportsNothingAndExitsOne) {
    MemoryPlatform platform;
    platform.process.hasStandardError = false;
    platform.SetArguments({u"--verify-only"});
    EXPECT_EQ(RunBootstrap(platform), 1);
    EXPECT_TRUE(platform.events().empty());
}

// --- where a failure happens, started without arguments -----------------------------------

struct FailurePointCase {
    std::string name;
    std::string call;  // fails once with access denied
    std::string code;
    bool box;              // the argument list had been read when it failed
    std::string nextStep;  // the call that follows, which must not have run
};

class FailurePointTest : public ::testing::TestWithParam<FailurePointCase> {};

TEST_P(FailurePointTest, ReportsItsCodeAndABoxOnlyOnceArgumentsAreRead) {
    const FailurePointCase& c = GetParam();
    MemoryPlatform platform;
    platform.SetArguments({});
    platform.FailCall(c.call, win::kErrorAccessDenied);
    const int exitCode = RunBootstrap(platform);
    ExpectReported(platform, exitCode, Line(c.code), c.box);
    if (!c.nextStep.empty()) {
        EXPECT_EQ(platform.CallCount(c.nextStep), 0) << "the run went on";
    }
    EXPECT_EQ(platform.OutstandingLocalAllocations(), 0u) << "argument array not released";
}

const std::vector<FailurePointCase> kFailurePointCases = {
    {"DllPolicyRefused", "SetDefaultDllDirectories", "DLL_POLICY", false, "SetDllDirectoryW"},
    {"DllDirectoryNotCleared", "SetDllDirectoryW", "DLL_POLICY", false, "GetSystemDirectoryW"},
    {"SystemDirectoryUnknown", "GetSystemDirectoryW", "SYSTEM_DIRECTORY", false,
     "SetCurrentDirectoryW"},
    {"WorkingDirectoryNotChanged", "SetCurrentDirectoryW", "WORKING_DIRECTORY", false,
     "GetCommandLineW"},
    {"CommandLineNotSplit", "CommandLineToArgvW", "ARGUMENTS", false, "GetModuleFileNameW"},
    {"ModulePathUnknown", "GetModuleFileNameW", "MODULE_PATH", true, "GetFullPathNameW"},
    {"ModulePathNotResolved", "GetFullPathNameW", "FULL_PATH", true, "CompareStringOrdinal"},
    {"NameComparisonFailed", "CompareStringOrdinal", "BOOTSTRAP_NAME", true, ""},
};
INSTANTIATE_TEST_SUITE_P(Table, FailurePointTest, ::testing::ValuesIn(kFailurePointCases),
                         CaseName<FailurePointCase>);

TEST(Hardening, CompleteBeforeTheCommandLineIsRead) {
    MemoryPlatform platform;
    uint32_t dllFlags = 0;
    bool dllDirectoryCleared = false;
    WideString workingDirectory;
    platform.ThrowFromCall("CommandLineToArgvW", [&] {
        dllFlags = platform.defaultDllDirectories();
        dllDirectoryCleared = platform.dllDirectoryCleared();
        workingDirectory = platform.CurrentDirectory();
        throw Failure("ARGUMENTS");
    });
    RunBootstrap(platform);
    EXPECT_EQ(dllFlags, 0x800u);
    EXPECT_TRUE(dllDirectoryCleared);
    EXPECT_EQ(workingDirectory, u"C:\\windows\\system32");
}

// --- exceptions that are not failures -------------------------------------------------------

struct ExceptionCase {
    std::string name;
    std::string call;
    WideString argument;  // empty: none, the normal mode
    std::function<void()> thrower;
    std::string expectedLine;
    bool box;
};

class ExceptionTest : public ::testing::TestWithParam<ExceptionCase> {};

TEST_P(ExceptionTest, ReportedOnceWithItsTextOrAsInternalError) {
    const ExceptionCase& c = GetParam();
    MemoryPlatform platform;
    if (!c.argument.empty()) platform.SetArguments({c.argument});
    platform.ThrowFromCall(c.call, c.thrower);
    const int exitCode = RunBootstrap(platform);
    ExpectReported(platform, exitCode, c.expectedLine, c.box);
    EXPECT_EQ(platform.OutstandingLocalAllocations(), 0u) << "argument array not released";
}

const std::function<void()> kOutOfMemory = [] { throw std::bad_alloc(); };
const std::function<void()> kLengthError = [] { throw std::length_error("path too long"); };
const std::function<void()> kThrowInt = [] { throw 42; };
const std::function<void()> kThrowText = [] { throw "text"; };
const std::string kInternalError = "SECURITY_CHECK_FAILED: INTERNAL_ERROR\n";

const std::vector<ExceptionCase> kExceptionCases = {
    {"AllocationFailureInNormalMode", "GetModuleFileNameW", u"", kOutOfMemory,
     Line(std::bad_alloc().what()), true},
    {"LengthErrorInNormalMode", "GetModuleFileNameW", u"", kLengthError, Line("path too long"),
     true},
    {"LengthErrorInVerifyOnly", "GetModuleFileNameW", u"--verify-only", kLengthError,
     Line("path too long"), false},
    {"AllocationFailureBeforeArgumentsRead", "CommandLineToArgvW", u"", kOutOfMemory,
     Line(std::bad_alloc().what()), false},
    {"NonStandardExceptionInNormalMode", "GetModuleFileNameW", u"", kThrowInt, kInternalError,
     false},
    {"NonStandardExceptionInSelfTest", "CompareStringOrdinal", u"--self-test", kThrowText,
     kInternalError, false},
};
INSTANTIATE_TEST_SUITE_P(Table, ExceptionTest, ::testing::ValuesIn(kExceptionCases),
                         CaseName<ExceptionCase>);

// --- the bootstrap's own name and directory ---------------------------------------------------

struct NameCase {
    std::string name;
    WideString modulePath;
    WideString expectedDirectory;  // empty: the name check fails
    // What the package check then reports; a drive root or a network share is no local package
    // directory.
    std::string packageLine = kModeReached;
};

class BootstrapNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(BootstrapNameTest, AcceptsOnlyTheLauncherNameInAnyLetterCase) {
    const NameCase& c = GetParam();
    MemoryPlatform platform;
    platform.process.modulePath = c.modulePath;

    std::string code;
    WideString directory;
    try {
        directory = PackageDirectoryFromModule(platform);
    } catch (const Failure& failure) {
        code = failure.what();
    }
    const bool accepted = !c.expectedDirectory.empty();
    EXPECT_EQ(code, accepted ? "" : "BOOTSTRAP_NAME");
    EXPECT_EQ(directory, c.expectedDirectory);

    MemoryPlatform run;
    run.process.modulePath = c.modulePath;
    run.SetArguments({u"--verify-only"});
    const int exitCode = RunBootstrap(run);
    ExpectReported(run, exitCode, accepted ? c.packageLine : Line("BOOTSTRAP_NAME"), false);
}

const std::vector<NameCase> kNameCases = {
    {"ExactName", u"C:\\Games\\VeltoMarn\\VeltoMarnLauncher.exe", u"C:\\Games\\VeltoMarn"},
    {"UpperCaseName", u"C:\\Games\\VeltoMarn\\VELTOMARNLAUNCHER.EXE", u"C:\\Games\\VeltoMarn"},
    {"LowerCaseName", u"C:\\Games\\VeltoMarn\\veltomarnlauncher.exe", u"C:\\Games\\VeltoMarn"},
    {"DriveRoot", u"D:\\VeltoMarnLauncher.exe", u"D:", Line("LOCAL_PATH_REQUIRED")},
    {"LongPathPrefix", u"\\\\?\\C:\\Games\\VeltoMarnLauncher.exe", u"C:\\Games"},
    {"NetworkShare", u"\\\\server\\share\\VeltoMarnLauncher.exe", u"\\\\server\\share",
     Line("LOCAL_PATH_REQUIRED")},
    // Reported with the long prefix, a share must still never pass for a local directory.
    {"NetworkShareWithLongPrefix", u"\\\\?\\UNC\\server\\share\\VeltoMarnLauncher.exe",
     u"\\\\?\\UNC\\server\\share", Line("LOCAL_PATH_REQUIRED")},
    {"OneCharacterMore", u"C:\\Games\\VeltoMarn\\VeltoMarnLauncher.exe1", u""},
    {"OneCharacterLess", u"C:\\Games\\VeltoMarn\\VeltoMarnLauncher.ex", u""},
    {"NameWithPrefix", u"C:\\Games\\VeltoMarn\\XVeltoMarnLauncher.exe", u""},
    {"NameWithStream", u"C:\\Games\\VeltoMarn\\VeltoMarnLauncher.exe:x", u""},
    {"NameIsADirectory", u"C:\\VeltoMarnLauncher.exe\\Other.exe", u""},
};
INSTANTIATE_TEST_SUITE_P(Table, BootstrapNameTest, ::testing::ValuesIn(kNameCases),
                         CaseName<NameCase>);

// --- the argument array --------------------------------------------------------------------

TEST(ReadArgumentsTest, CopiesEverythingAfterTheProgramAndReleasesTheArray) {
    MemoryPlatform platform;
    const std::vector<WideString> arguments = {u"--verify-only", u"two words", u"", u"q\"uote"};
    platform.SetArguments(arguments);
    EXPECT_EQ(ReadArguments(platform), arguments);
    EXPECT_EQ(platform.OutstandingLocalAllocations(), 0u);
    EXPECT_EQ(platform.CallCount("LocalFree"), 1);
}

}  // namespace
}  // namespace veltomarn
