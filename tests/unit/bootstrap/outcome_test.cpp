#include "bootstrap/outcome.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "core/failure.h"
#include "support/memory_platform.h"

namespace veltomarn {
namespace {

using testing::MemoryPlatform;
using Kind = MemoryPlatform::Event::Kind;

const WideString kSpaceQueryText =
    u"Windows could not check available space on the local application-data drive. Please "
    u"provide support with code CACHE_SPACE_QUERY. Your game files have not been changed.";
const WideString kOwnerMismatchText =
    u"A previous private launcher session does not match this package. Its files have been "
    u"preserved. Please provide support with code CACHE_OWNER_MISMATCH before deleting or "
    u"replacing anything.";
const WideString kGeneralText =
    u"The protected launcher could not verify or prepare its private session. Keep the complete "
    u"official package together. Do not disable security software. Existing game files have not "
    u"been changed.";

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// --- UserMessageForCode ----------------------------------------------------------------------

struct MessageCase {
    std::string name;
    std::string code;
    WideString expected;
};

class UserMessageForCodeTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(UserMessageForCodeTest, GivesTheTextForTheWholeCode) {
    EXPECT_EQ(WideString(UserMessageForCode(GetParam().code)), GetParam().expected);
}

const std::vector<MessageCase> kMessageCases = {
    {"SessionAlreadyOpen", "LAUNCHER_SESSION_ALREADY_OPEN",
     u"VELTO MARN Launcher is already open or is still finishing its previous session. Return to "
     u"that launcher, or wait for it to finish and try again. Your game files have not been "
     u"changed."},
    {"CacheSpace", "CACHE_SPACE",
     u"There is not enough free space on the Windows account's local application-data drive to "
     u"prepare the launcher session. Free some space and try again. Your game files have not "
     u"been changed."},
    {"CacheSpaceQuery", "CACHE_SPACE_QUERY", kSpaceQueryText},
    {"CacheOwnerMismatch", "CACHE_OWNER_MISMATCH", kOwnerMismatchText},
    {"CacheLockOpen", "CACHE_LOCK_OPEN",
     u"Windows could not open the launcher's private session lock. Please provide support with "
     u"code CACHE_LOCK_OPEN. Keep your files and Windows security settings unchanged."},
    {"OtherCacheCode", "CACHE_LOCK_TYPE", kGeneralText},
    {"DriverCode", "ARGUMENTS", kGeneralText},
    {"StandardLibraryText", "std::bad_alloc", kGeneralText},
    {"LowerCaseCode", "cache_space", kGeneralText},
    {"PrefixOfCode", "CACHE_SPAC", kGeneralText},
    {"PrefixOfLongerCode", "LAUNCHER_SESSION", kGeneralText},
    {"CodeWithSuffix", "CACHE_LOCK_OPEN_X", kGeneralText},
    {"CodeWithTrailingLineFeed", "CACHE_SPACE\n", kGeneralText},
    {"CodeWithLeadingSpace", " CACHE_SPACE", kGeneralText},
    {"CodeThenNulAndMore", std::string("CACHE_SPACE\0QUERY", 17), kGeneralText},
    {"EmptyText", "", kGeneralText},
};
INSTANTIATE_TEST_SUITE_P(Table, UserMessageForCodeTest, ::testing::ValuesIn(kMessageCases),
                         CaseName<MessageCase>);

// --- WriteStandardStream -----------------------------------------------------------------------

struct StreamCase {
    std::string name;
    bool toError;
    bool hasStandardOutput;
    bool hasStandardError;
    std::string injectFailure;  // a call of the model to fail once, or empty
    std::vector<Kind> expected;
    int writeCalls;
};

class WriteStandardStreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(WriteStandardStreamTest, WritesTheWholeTextOrNothing) {
    const StreamCase& c = GetParam();
    MemoryPlatform platform;
    platform.process.hasStandardOutput = c.hasStandardOutput;
    platform.process.hasStandardError = c.hasStandardError;
    if (!c.injectFailure.empty()) platform.FailCall(c.injectFailure, win::kErrorInvalidHandle);
    const std::string text = "SEALED_VERIFIED sequence=7\n";

    EXPECT_NO_THROW(WriteStandardStream(platform, text, c.toError));

    ASSERT_EQ(platform.events().size(), c.expected.size());
    for (std::size_t k = 0; k < c.expected.size(); ++k) {
        EXPECT_EQ(platform.events()[k].kind, c.expected[k]);
        EXPECT_EQ(platform.events()[k].bytes, text);
    }
    EXPECT_EQ(platform.CallCount("WriteFile"), c.writeCalls);
}

const std::vector<StreamCase> kStreamCases = {
    {"ToStandardOutput", false, true, true, "", {Kind::StandardOutput}, 1},
    {"ToStandardError", true, true, true, "", {Kind::StandardError}, 1},
    {"OutputWrittenWithoutErrorHandle", false, true, false, "", {Kind::StandardOutput}, 1},
    {"ErrorWrittenWithoutOutputHandle", true, false, true, "", {Kind::StandardError}, 1},
    {"NullOutputHandleSkipsWrite", false, false, true, "", {}, 0},
    {"NullErrorHandleSkipsWrite", true, true, false, "", {}, 0},
    {"InvalidHandleSkipsWrite", true, true, true, "GetStdHandle", {}, 0},
    {"FailedWriteIgnored", true, true, true, "WriteFile", {}, 1},
};
INSTANTIATE_TEST_SUITE_P(Table, WriteStandardStreamTest, ::testing::ValuesIn(kStreamCases),
                         CaseName<StreamCase>);

// --- WriteAll ----------------------------------------------------------------------------------

struct WriteAllCase {
    std::string name;
    bool openHandle;           // false: a handle the model does not know
    uint32_t writeFileError;   // 0: WriteFile succeeds
    std::string expectedCode;  // empty: no failure
};

class WriteAllTest : public ::testing::TestWithParam<WriteAllCase> {};

TEST_P(WriteAllTest, WritesEverythingOrThrowsCacheWrite) {
    const WriteAllCase& c = GetParam();
    MemoryPlatform platform;
    const Handle file = c.openHandle ? platform.GetStdHandle(win::kStdErrorHandle) : nullptr;
    if (c.writeFileError != 0) platform.FailCall("WriteFile", c.writeFileError);
    // Binary bytes, as an owner record holds: a zero inside must not end the write.
    const std::vector<uint8_t> bytes = {0x56, 0x00, 0xFF, 0x4D, 0x00};

    std::string code;
    try {
        WriteAll(platform, file, bytes);
    } catch (const Failure& failure) {
        code = failure.what();
    }

    EXPECT_EQ(code, c.expectedCode);
    EXPECT_EQ(platform.CallCount("WriteFile"), 1);
    if (c.expectedCode.empty()) {
        EXPECT_EQ(platform.StandardError(), std::string(bytes.begin(), bytes.end()));
    }
}

const std::vector<WriteAllCase> kWriteAllCases = {
    {"WholeBufferWritten", true, 0, ""},
    {"AccessDenied", true, win::kErrorAccessDenied, "CACHE_WRITE"},
    {"HandleNotOpen", false, 0, "CACHE_WRITE"},
};
INSTANTIATE_TEST_SUITE_P(Table, WriteAllTest, ::testing::ValuesIn(kWriteAllCases),
                         CaseName<WriteAllCase>);

// --- ReportFailure and ReportInternalError -------------------------------------------------

struct ReportCase {
    std::string name;
    std::string what;
    bool interactive;
    bool hasStandardError;
    std::string throwingCall;  // a call of the model that throws, or empty
    std::string expectedLine;  // empty: nothing on standard error
    WideString expectedBox;    // empty: no message box
};

class ReportFailureTest : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ReportFailureTest, WritesTheLineBeforeTheBox) {
    const ReportCase& c = GetParam();
    MemoryPlatform platform;
    platform.process.hasStandardError = c.hasStandardError;
    if (!c.throwingCall.empty())
        platform.ThrowFromCall(c.throwingCall, [] { throw std::bad_alloc(); });

    ReportFailure(platform, c.what.c_str(), c.interactive);  // an escape would terminate

    std::vector<MemoryPlatform::Event> expected;
    if (!c.expectedLine.empty())
        expected.push_back({Kind::StandardError, c.expectedLine, {}, {}, 0});
    if (!c.expectedBox.empty()) {
        expected.push_back({Kind::MessageBox, {}, c.expectedBox, u"VELTO MARN Launcher", 0x10});
    }
    const auto& events = platform.events();
    ASSERT_EQ(events.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(events[k].kind, expected[k].kind) << "event " << k;
        EXPECT_EQ(events[k].bytes, expected[k].bytes) << "event " << k;
        EXPECT_EQ(events[k].text, expected[k].text) << "event " << k;
        EXPECT_EQ(events[k].caption, expected[k].caption) << "event " << k;
        EXPECT_EQ(events[k].style, expected[k].style) << "event " << k;
    }
}

const std::vector<ReportCase> kReportCases = {
    {"NotInteractiveLineOnly", "CACHE_SPACE", false, true, "",
     "SECURITY_CHECK_FAILED: CACHE_SPACE\n", u""},
    {"InteractiveOwnMessage", "CACHE_OWNER_MISMATCH", true, true, "",
     "SECURITY_CHECK_FAILED: CACHE_OWNER_MISMATCH\n", kOwnerMismatchText},
    {"InteractiveGeneralMessage", "CACHE_LOCK_TYPE", true, true, "",
     "SECURITY_CHECK_FAILED: CACHE_LOCK_TYPE\n", kGeneralText},
    {"InteractiveWithoutStandardError", "CACHE_SPACE_QUERY", true, false, "", "", kSpaceQueryText},
    {"ThrowingWriteStillShowsTheBox", "CACHE_SPACE_QUERY", true, true, "WriteFile", "",
     kSpaceQueryText},
    {"ThrowingMessageBoxDoesNotEscape", "CACHE_LOCK_TYPE", true, true, "MessageBoxW",
     "SECURITY_CHECK_FAILED: CACHE_LOCK_TYPE\n", u""},
};
INSTANTIATE_TEST_SUITE_P(Table, ReportFailureTest, ::testing::ValuesIn(kReportCases),
                         CaseName<ReportCase>);

TEST(ReportInternalErrorTest, FixedLineAndNoBox) {
    MemoryPlatform platform;
    ReportInternalError(platform);
    ASSERT_EQ(platform.events().size(), 1u);
    EXPECT_EQ(platform.events()[0].kind, Kind::StandardError);
    EXPECT_EQ(platform.events()[0].bytes, "SECURITY_CHECK_FAILED: INTERNAL_ERROR\n");
}

TEST(ReportInternalErrorTest, MissingStandardErrorIsSilent) {
    MemoryPlatform platform;
    platform.process.hasStandardError = false;
    ReportInternalError(platform);
    EXPECT_TRUE(platform.events().empty());
    EXPECT_EQ(platform.CallCount("WriteFile"), 0);
}

}  // namespace
}  // namespace veltomarn
