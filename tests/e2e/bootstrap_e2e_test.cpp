// The real VeltoMarnLauncher.exe under Wine: the argument check and the bootstrap name check,
// seen from outside as a caller sees them: the exact line on standard error, nothing on standard
// output, and the exit code. The runner that these tests rely on is checked here as well.

#include <gtest/gtest.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "support/wine_runner.h"

namespace veltomarn {
namespace {

using testing::BuiltLauncherPath;
using testing::Describe;
using testing::LauncherCopy;
using testing::RunUnderWine;
using testing::WineRun;

constexpr char kBootstrapName[] = "VeltoMarnLauncher.exe";
constexpr char kFailurePrefix[] = "SECURITY_CHECK_FAILED: ";

std::string FailureLine(const std::string& code) {
    return kFailurePrefix + code + "\n";
}

// The code of `text` when it is exactly one failure line ("SECURITY_CHECK_FAILED: " followed by
// upper-case letters and underscores and one line feed); empty otherwise.
std::string CodeOfSingleFailureLine(const std::string& text) {
    const std::string prefix = kFailurePrefix;
    if (text.size() < prefix.size() + 2 || text.compare(0, prefix.size(), prefix) != 0 ||
        text.back() != '\n') {
        return "";
    }
    const std::string code = text.substr(prefix.size(), text.size() - prefix.size() - 1);
    for (const char c : code) {
        if (!((c >= 'A' && c <= 'Z') || c == '_')) return "";
    }
    return code;
}

// Every run here must end on its own: without a display the normal mode's message box returns
// at once, and Wine's debug channels stay silent so that standard error holds only the
// bootstrap's own bytes. Values given by the caller (ctest) are kept, except the display.
class QuietWineEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::setenv("WINEDEBUG", "-all", 0);
        ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 0);
    }
};

const auto* const kQuietWine = ::testing::AddGlobalTestEnvironment(new QuietWineEnvironment);

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// --- Starts refused with one exact failure line ----------------------------------------------

struct RefusedCase {
    std::string name;
    std::string fileName;
    std::vector<std::string> arguments;
    std::string code;
};

const RefusedCase kRefusedCases[] = {
    {"UnknownSwitch", kBootstrapName, {"--bogus"}, "ARGUMENTS"},
    {"VerifySwitchInUpperCase", kBootstrapName, {"--VERIFY-ONLY"}, "ARGUMENTS"},
    {"SelfTestSwitchInMixedCase", kBootstrapName, {"--Self-Test"}, "ARGUMENTS"},
    {"BothSwitchesTogether", kBootstrapName, {"--verify-only", "--self-test"}, "ARGUMENTS"},
    {"SwitchGivenTwice", kBootstrapName, {"--verify-only", "--verify-only"}, "ARGUMENTS"},
    {"VerifySwitchWithValue", kBootstrapName, {"--verify-only=1"}, "ARGUMENTS"},
    {"PrefixOfVerifySwitch", kBootstrapName, {"--verify"}, "ARGUMENTS"},
    {"SwitchWithLeadingSpace", kBootstrapName, {" --self-test"}, "ARGUMENTS"},
    {"SingleEmptyArgument", kBootstrapName, {""}, "ARGUMENTS"},
    {"NameWithOneCharacterMore", "VeltoMarnLauncherX.exe", {"--verify-only"}, "BOOTSTRAP_NAME"},
    {"NameWithOneCharacterMoreSelfTest",
     "VeltoMarnLauncherX.exe",
     {"--self-test"},
     "BOOTSTRAP_NAME"},
    {"NameWithOneCharacterFewer", "VeltoMarnLaunche.exe", {"--verify-only"}, "BOOTSTRAP_NAME"},
    {"NameWithDoubledExtension", "VeltoMarnLauncher.exe.exe", {"--verify-only"}, "BOOTSTRAP_NAME"},
    // The arguments are checked before the name: a wrong name with a wrong argument is ARGUMENTS.
    {"WrongNameAndUnknownSwitch", "VeltoMarnLauncherX.exe", {"--bogus"}, "ARGUMENTS"},
};

class RefusedStartTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedStartTest, WritesExactlyItsFailureLineAndExitsWithOne) {
    const RefusedCase& param = GetParam();
    const LauncherCopy launcher(param.fileName);

    const WineRun run = RunUnderWine(launcher.path(), param.arguments);

    SCOPED_TRACE(Describe(run));
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.standardError, FailureLine(param.code));
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(run.exitCode, 1);
}

INSTANTIATE_TEST_SUITE_P(Bootstrap, RefusedStartTest, ::testing::ValuesIn(kRefusedCases),
                         CaseName<RefusedCase>);

// --- Starts that pass the argument and name checks -------------------------------------------

// No package lies beside the copy, so every one of these runs still fails, later: with exit code
// 1 and one failure line whose code is neither of the two checks' codes.
struct AcceptedCase {
    std::string name;
    std::string fileName;
    std::vector<std::string> arguments;
};

const AcceptedCase kAcceptedCases[] = {
    {"ExactNameVerifyOnly", kBootstrapName, {"--verify-only"}},
    {"ExactNameSelfTest", kBootstrapName, {"--self-test"}},
    {"LowerCaseNameUpperCaseExtensionVerifyOnly", "veltomarnlauncher.EXE", {"--verify-only"}},
    {"LowerCaseNameUpperCaseExtensionSelfTest", "veltomarnlauncher.EXE", {"--self-test"}},
    {"UpperCaseNameVerifyOnly", "VELTOMARNLAUNCHER.exe", {"--verify-only"}},
    {"UpperCaseNameSelfTest", "VELTOMARNLAUNCHER.exe", {"--self-test"}},
    // The normal mode shows a message box on failure; without a display it returns at once, so
    // the run must still end by itself with its line and exit code 1.
    {"NormalModeWithoutDisplay", kBootstrapName, {}},
};

class AcceptedStartTest : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(AcceptedStartTest, PassesTheArgumentAndNameChecks) {
    const AcceptedCase& param = GetParam();
    const LauncherCopy launcher(param.fileName);

    const WineRun run = RunUnderWine(launcher.path(), param.arguments);

    SCOPED_TRACE(Describe(run));
    ASSERT_FALSE(run.timedOut);
    const std::string code = CodeOfSingleFailureLine(run.standardError);
    EXPECT_NE(code, "") << "standard error is not exactly one failure line";
    EXPECT_NE(code, "ARGUMENTS");
    EXPECT_NE(code, "BOOTSTRAP_NAME");
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(run.exitCode, 1);
}

INSTANTIATE_TEST_SUITE_P(Bootstrap, AcceptedStartTest, ::testing::ValuesIn(kAcceptedCases),
                         CaseName<AcceptedCase>);

// --- The runner itself, on Wine's own command interpreter ------------------------------------

// One line of 100 characters; 1000 of them on each stream exceed a pipe's buffer many times over,
// so a runner that drained one stream before the other would stall.
const std::string kLongLine =
    "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123"
    "456789";

std::string Repeated(const std::string& line, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += line;
    return text;
}

struct RunnerCase {
    std::string name;
    std::string command;
    int exitCode;
    std::string standardOutput;
    std::string standardError;
};

const RunnerCase kRunnerCases[] = {
    {"StandardOutputOnly", "echo out", 0, "out\r\n", ""},
    {"StandardErrorOnly", "echo err 1>&2", 0, "", "err \r\n"},
    {"ExitCodePassedOn", "exit 7", 7, "", ""},
    {"ExitCodeCutToEightBits", "exit 300", 300 % 256, "", ""},
    {"BothStreamsFarBeyondPipeBuffer",
     "for /L %i in (1,1,1000) do (echo o" + kLongLine + " & echo e" + kLongLine + " 1>&2)", 0,
     Repeated("o" + kLongLine + " \r\n", 1000), Repeated("e" + kLongLine + " \r\n", 1000)},
};

class WineRunnerTest : public ::testing::TestWithParam<RunnerCase> {};

TEST_P(WineRunnerTest, CapturesBothStreamsSeparatelyAndTheExitCode) {
    const RunnerCase& param = GetParam();

    const WineRun run = RunUnderWine("cmd", {"/c", param.command});

    ASSERT_FALSE(run.timedOut) << Describe(run);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, param.exitCode);
    // Compared as a whole, but reported by size first: the long cases do not fit on a screen.
    EXPECT_EQ(run.standardOutput.size(), param.standardOutput.size());
    EXPECT_EQ(run.standardError.size(), param.standardError.size());
    EXPECT_TRUE(run.standardOutput == param.standardOutput) << "standard output differs";
    EXPECT_TRUE(run.standardError == param.standardError) << "standard error differs";
}

INSTANTIATE_TEST_SUITE_P(Wine, WineRunnerTest, ::testing::ValuesIn(kRunnerCases),
                         CaseName<RunnerCase>);

// --- The copy of the built bootstrap ------------------------------------------------------------

// Sets one environment variable (or removes it, for a null value) and restores it afterwards.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        hadValue_ = old != nullptr;
        if (hadValue_) saved_ = old;
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;
    ~ScopedVariable() {
        if (hadValue_) {
            ::setenv(name_.c_str(), saved_.c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }

  private:
    std::string name_;
    std::string saved_;
    bool hadValue_ = false;
};

struct MissingCopyCase {
    std::string name;
    const char* buildDir;  // null: the variable is unset
    std::string fileName;
    std::string messagePart;
};

const MissingCopyCase kMissingCopyCases[] = {
    {"BuildDirectoryVariableUnset", nullptr, kBootstrapName, "VELTOMARN_WINDOWS_BUILD_DIR"},
    {"BuildDirectoryVariableEmpty", "", kBootstrapName, "VELTOMARN_WINDOWS_BUILD_DIR"},
    {"NoBootstrapInBuildDirectory", "/nonexistent-veltomarn-build", kBootstrapName,
     "no built bootstrap at /nonexistent-veltomarn-build/src/VeltoMarnLauncher.exe"},
    {"FileNameWithDirectory", nullptr, "sub/VeltoMarnLauncher.exe", "not a plain file name"},
};

class LauncherCopyRefusedTest : public ::testing::TestWithParam<MissingCopyCase> {};

TEST_P(LauncherCopyRefusedTest, FailsWithAMessageThatNamesTheCause) {
    const MissingCopyCase& param = GetParam();
    const ScopedVariable buildDir("VELTOMARN_WINDOWS_BUILD_DIR", param.buildDir);

    try {
        const LauncherCopy launcher(param.fileName);
        FAIL() << "a copy was made at " << launcher.path();
    } catch (const std::exception& error) {
        EXPECT_NE(std::string(error.what()).find(param.messagePart), std::string::npos)
            << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Support, LauncherCopyRefusedTest, ::testing::ValuesIn(kMissingCopyCases),
                         CaseName<MissingCopyCase>);

TEST(LauncherCopyTest, HoldsTheBuiltBootstrapUnderItsNameAndRemovesItsDirectory) {
    std::filesystem::path directory;
    {
        const LauncherCopy launcher("VELTOMARNLAUNCHER.exe");
        directory = launcher.directory();
        EXPECT_EQ(launcher.path(), directory / "VELTOMARNLAUNCHER.exe");
        EXPECT_EQ(std::filesystem::file_size(launcher.path()),
                  std::filesystem::file_size(BuiltLauncherPath()));
    }
    EXPECT_FALSE(std::filesystem::exists(directory)) << directory;
}

// --- The helper that reads the failure line ---------------------------------------------------

struct LineCase {
    std::string name;
    std::string text;
    std::string code;
};

const LineCase kLineCases[] = {
    {"OneLine", "SECURITY_CHECK_FAILED: MODE_NOT_AVAILABLE\n", "MODE_NOT_AVAILABLE"},
    {"Empty", "", ""},
    {"NoLineFeed", "SECURITY_CHECK_FAILED: ARGUMENTS", ""},
    {"TwoLines", "SECURITY_CHECK_FAILED: ARGUMENTS\nSECURITY_CHECK_FAILED: ARGUMENTS\n", ""},
    {"CarriageReturn", "SECURITY_CHECK_FAILED: ARGUMENTS\r\n", ""},
    {"LowerCaseCode", "SECURITY_CHECK_FAILED: arguments\n", ""},
    {"EmptyCode", "SECURITY_CHECK_FAILED: \n", ""},
    {"OtherPrefix", "CACHE_PRESERVED: ARGUMENTS\n", ""},
    {"LeadingText", "fixme:x SECURITY_CHECK_FAILED: ARGUMENTS\n", ""},
};

class FailureLineReaderTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(FailureLineReaderTest, ReturnsTheCodeOnlyForOneWholeLine) {
    EXPECT_EQ(CodeOfSingleFailureLine(GetParam().text), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Bootstrap, FailureLineReaderTest, ::testing::ValuesIn(kLineCases),
                         CaseName<LineCase>);

}  // namespace
}  // namespace veltomarn
