// Unsealing the fixture package's payload into a real directory on Wine's file system, with
// faults injected on the way.

#include <functional>

#include "payload/unseal.h"
#include "win32/win32_test_support.h"

namespace veltomarn::test {
namespace {

// Every file below `root`, relative, '/'-separated.
std::set<std::string> FilesBelow(const WideString& root) {
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file())
            files.insert(entry.path().lexically_relative(root).generic_string());
    }
    return files;
}

struct UnsealRun {
    explicit UnsealRun(const std::string& name) : scratch(name), platform(real) {}

    // Unseals the fixture payload into scratch\out; the failure code or "". (Whole sessions are
    // unsealed and checked file by file by the end-to-end tests.)
    std::string Unseal() {
        std::filesystem::create_directories(std::filesystem::path(scratch.At("out")));
        return FailureCode([&] {
            GuardedDirectory package(platform, FixturePath("package"), StreamCheck::kEverything);
            const Handle payload = package.OpenFile("VeltoMarn.payload", 1u << 30);
            const PayloadIndex index = ReadPayloadIndex(platform, payload);
            SecureBuffer key(platform, kPayloadKeyBytes);
            CompiledInPayloadKey(key);
            GuardedDirectory out(platform, scratch.At("out"), StreamCheck::kEverything);
            UnsealPayload(platform, platform, payload, index, key,
                          UnsealTarget::Into(out, nullptr));
        });
    }

    Scratch scratch;
    Win32Platform real;
    FaultPlatform platform;
};

TEST(UnsealTest, NoOneElseCanReadAPartialFileWhileItIsWritten) {
    UnsealRun run("partial-share");
    uint32_t error = 0;
    run.platform.Before(Call::kFlushFileBuffers, 1, [&] {
        const WideString partial = LocalLongPath(run.scratch.At("out\\RELEASE.sig.sealed-partial"));
        const Handle handle = run.real.CreateFileW(partial.c_str(), win::kGenericRead, 7, nullptr,
                                                   win::kOpenExisting, 0, nullptr);
        error = handle == kInvalidHandle ? run.real.GetLastError() : 0;
        if (handle != kInvalidHandle) run.real.CloseHandle(handle);
    });
    EXPECT_EQ(run.Unseal(), "");
    EXPECT_EQ(error, win::kErrorSharingViolation);
}

struct UnsealCase {
    std::string name;
    std::function<void(UnsealRun&)> arrange;
    std::string code;
    std::set<std::string> left;  // the files in the destination afterwards
};

const UnsealCase kUnsealCases[] = {
    {"partial_name_taken",
     [](UnsealRun& r) { r.scratch.Write("out/RELEASE.sig.sealed-partial", ""); },
     "CACHE_FILE_CREATE",
     {"RELEASE.sig.sealed-partial"}},
    {"directory_name_taken_by_file",
     [](UnsealRun& r) { r.scratch.Write("out/assets", ""); },
     "DIRECTORY_TYPE",
     {"RELEASE.sig", "RELEASE.signed", "VeltoMarn.payload", "VeltoMarnLauncher.exe", "assets"}},
    {"directory_refused",
     [](UnsealRun& r) { r.platform.Fail(Call::kCreateDirectoryW, 1, win::kErrorAccessDenied); },
     "CACHE_SUBDIRECTORY",
     {"RELEASE.sig", "RELEASE.signed", "VeltoMarn.payload", "VeltoMarnLauncher.exe"}},
    {"plaintext_not_what_was_sealed",
     [](UnsealRun& r) { r.platform.flipDecryptedNth = 2; },
     "PAYLOAD_PLAINTEXT_HASH",
     {"RELEASE.sig", "RELEASE.signed.sealed-partial"}},
    {"chunk_refused_by_provider",
     [](UnsealRun& r) { r.platform.Fail(Call::kBCryptDecrypt, 1, kStatusUnsuccessful); },
     "PAYLOAD_AUTHENTICATION",
     {"RELEASE.sig.sealed-partial"}},
    {"hidden_stream_on_destination",
     [](UnsealRun& r) { r.platform.extraStreams[r.scratch.At("out")] = u":x:$DATA"; },
     "UNEXPECTED_STREAM",
     {}},
    {"short_write",
     [](UnsealRun& r) { r.platform.shortWriteNth = 1; },
     "CACHE_WRITE",
     {"RELEASE.sig.sealed-partial"}},
    {"flush_fails",
     [](UnsealRun& r) { r.platform.Fail(Call::kFlushFileBuffers, 2, win::kErrorAccessDenied); },
     "CACHE_FLUSH",
     {"RELEASE.sig", "RELEASE.signed.sealed-partial"}},
    {"final_name_taken",  // never replaced
     [](UnsealRun& r) { r.scratch.Write("out/RELEASE.sig", ""); },
     "CACHE_COMMIT",
     {"RELEASE.sig", "RELEASE.sig.sealed-partial"}},
};

class UnsealFaultTest : public ::testing::TestWithParam<UnsealCase> {};

TEST_P(UnsealFaultTest, FailsWithItsCodeWipesEverySecretAndKeepsOnlyWhatWasCommitted) {
    UnsealRun run("unseal-fault");
    GetParam().arrange(run);
    EXPECT_EQ(run.Unseal(), GetParam().code);
    EXPECT_EQ(FilesBelow(run.scratch.At("out")), GetParam().left);
    ExpectTidy(run.platform);
}

INSTANTIATE_TEST_SUITE_P(Win32, UnsealFaultTest, ::testing::ValuesIn(kUnsealCases),
                         CaseName<UnsealCase>);

}  // namespace
}  // namespace veltomarn::test
