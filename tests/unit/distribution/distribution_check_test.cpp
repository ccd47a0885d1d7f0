#include "distribution/distribution_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/guarded_directory.h"
#include "support/memory_platform.h"
#include "support/test_release.h"

namespace veltomarn {
namespace {

using testing::MemoryPlatform;
using testing::PackagePath;
using testing::ReleaseFiles;
using testing::ReleasePlan;

const WideString kBase = u"C:\\Games\\VeltoMarn";

// More than two reads of the digest buffer, and no two 128 KiB blocks alike.
std::string PayloadBytes() {
    std::string bytes(300000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
    return bytes;
}

// Rows in this order: payload, launcher, the two docs, the manifest.
ReleaseFiles PackageFiles() {
    return {{"VeltoMarn.payload", PayloadBytes()},
            {"VeltoMarnLauncher.exe", "MZ\x90 launcher"},
            {"docs/licenses/zlib.txt", "zlib license"},
            {"docs/readme.txt", "readme"},
            {"package/release.json", "{\"release\":1}"}};
}

WideString HeldPath(const std::string& relative) {
    return u"\\\\?\\" + PackagePath(kBase, relative);
}

int HeldCount(const MemoryPlatform& platform, const std::string& relative) {
    const std::vector<WideString> paths = platform.OpenHandlePaths();
    return static_cast<int>(std::count(paths.begin(), paths.end(), HeldPath(relative)));
}

TEST(VerifyDistributionTest, MatchingPackageReturnsItsSequenceAndKeepsEveryFileHeld) {
    MemoryPlatform platform;
    ReleasePlan plan;
    plan.files = PackageFiles();
    plan.sequence = 2026111907;
    testing::WriteSignedRelease(platform, kBase, plan);
    GuardedDirectory package(platform, kBase, 0);

    EXPECT_EQ(VerifyDistribution(package), 2026111907u);
    EXPECT_EQ(platform.LiveCngObjects(), 0u);

    std::vector<std::string> held = {"RELEASE.sig", "RELEASE.signed"};
    for (const auto& [path, bytes] : plan.files) held.push_back(path);
    const int opens = platform.CallCount("CreateFileW");
    for (const std::string& path : held) {
        EXPECT_EQ(HeldCount(platform, path), 1) << path;
        // Held files come back at once; a limit of 0 would refuse any fresh open of them.
        EXPECT_NO_THROW(package.OpenFile(path, 0)) << path;
    }
    EXPECT_EQ(platform.CallCount("CreateFileW"), opens);
    FileInformation payload;
    ASSERT_TRUE(
        platform.GetFileInformationByHandle(package.OpenFile("VeltoMarn.payload", 0), &payload));
    EXPECT_EQ(payload.size(), PayloadBytes().size());
    EXPECT_FALSE(platform.ForeignOpen(PackagePath(kBase, "VeltoMarn.payload"), win::kGenericWrite,
                                      win::kFileShareRead | win::kFileShareWrite))
        << "a hashed file must stay unwritable";
}

// How far a failed run got.
enum class Reached {
    kNoCrypto,       // failed before any crypto call
    kSignatureOnly,  // both files read once, the inventory hashed once, no listed file opened
    kHashing,        // the first row opened
};

struct FailureCase {
    std::string name;
    std::function<void(ReleasePlan&)> arrange;
    std::string code;
    Reached reached;
    int rowsHashed = -1;                      // exact count, when given
    std::vector<std::string> notOpened = {};  // listed paths never opened
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

using AfterSigning = std::function<void(MemoryPlatform&, const WideString&)>;

std::function<void(ReleasePlan&)> After(AfterSigning change) {
    return [change](ReleasePlan& plan) { plan.afterSigning = change; };
}

AfterSigning Put(std::string relative, std::string bytes) {
    return [=](MemoryPlatform& platform, const WideString& base) {
        platform.AddFile(PackagePath(base, relative), bytes);
    };
}

AfterSigning Remove(std::string relative) {
    return [=](MemoryPlatform& platform, const WideString& base) {
        platform.RemoveEntry(PackagePath(base, relative));
    };
}

// Same bytes, the name on disk in another spelling.
AfterSigning Rename(std::string from, std::string to) {
    return [=](MemoryPlatform& platform, const WideString& base) {
        const std::string bytes = platform.FileBytes(PackagePath(base, from));
        platform.RemoveEntry(PackagePath(base, from));
        platform.AddFile(PackagePath(base, to), bytes);
    };
}

std::string Changed(std::string bytes, std::size_t index) {
    bytes.at(index) ^= 0x20;
    return bytes;
}

std::function<void(ReleasePlan&)> EditInventory(std::function<void(std::string&)> edit) {
    return [edit](ReleasePlan& plan) { plan.editInventory = edit; };
}

std::string SignatureBytes(const std::string& inventory) {
    const std::vector<uint8_t> signature = testing::SignWithTestKey(testing::ToBytes(inventory));
    return {signature.begin(), signature.end()};
}

const std::vector<std::string> kAfterPayload = {"VeltoMarnLauncher.exe", "docs/licenses/zlib.txt",
                                                "docs/readme.txt", "package/release.json"};

const std::vector<FailureCase> kFailures = {
    {"extra_log_at_top_level", After(Put("install.log", "log")), "UNEXPECTED_FILE",
     Reached::kSignatureOnly},
    {"extra_file_in_nested_directory", After(Put("docs/licenses/extra.txt", "x")),
     "UNEXPECTED_FILE", Reached::kSignatureOnly},
    {"shell_desktop_ini", After([](MemoryPlatform& platform, const WideString& base) {
         platform.AddFile(PackagePath(base, "desktop.ini"), "[.ShellClassInfo]\r\n");
         platform.SetAttributes(PackagePath(base, "desktop.ini"), 0x2 | 0x4);  // hidden, system
     }),
     "UNEXPECTED_FILE", Reached::kSignatureOnly},
    {"extra_empty_directory", After([](MemoryPlatform& platform, const WideString& base) {
         platform.AddDirectory(PackagePath(base, "logs"));
     }),
     "UNEXPECTED_DIRECTORY", Reached::kSignatureOnly},
    {"listed_file_deleted", After(Remove("docs/readme.txt")), "INCOMPLETE_TREE",
     Reached::kSignatureOnly},
    {"bootstrap_named_in_lower_case",
     After(Rename("VeltoMarnLauncher.exe", "veltomarnlauncher.exe")), "UNEXPECTED_FILE",
     Reached::kSignatureOnly},
    {"inventory_named_in_lower_case", After(Rename("RELEASE.signed", "release.signed")),
     "UNEXPECTED_FILE", Reached::kSignatureOnly},
    {"payload_byte_changed_in_first_block",
     After(Put("VeltoMarn.payload", Changed(PayloadBytes(), 5))), "FILE_HASH_MISMATCH",
     Reached::kHashing, 1, kAfterPayload},
    {"payload_byte_changed_in_last_block",
     After(Put("VeltoMarn.payload", Changed(PayloadBytes(), 299999))), "FILE_HASH_MISMATCH",
     Reached::kHashing, 1, kAfterPayload},
    {"patched_launcher_same_size",
     After(Put("VeltoMarnLauncher.exe", "MZ\x90 lAuncher")),
     "FILE_HASH_MISMATCH",
     Reached::kHashing,
     2,
     {"docs/licenses/zlib.txt", "docs/readme.txt", "package/release.json"}},
    {"manifest_edited_same_size", After(Put("package/release.json", "{\"release\":2}")),
     "FILE_HASH_MISMATCH", Reached::kHashing, 5},
    {"truncated_payload", After(Put("VeltoMarn.payload", PayloadBytes().substr(0, 299999))),
     "FILE_SIZE_MISMATCH", Reached::kHashing, 0, kAfterPayload},
    {"grown_readme",
     After(Put("docs/readme.txt", "readme\n")),
     "FILE_SIZE_MISMATCH",
     Reached::kHashing,
     3,
     {"package/release.json"}},
    {"missing_signature_file", After(Remove("RELEASE.sig")), "FILE_OPEN", Reached::kNoCrypto},
    {"missing_inventory_file", After(Remove("RELEASE.signed")), "FILE_OPEN", Reached::kNoCrypto},
    {"inventory_over_one_mib", After(Put("RELEASE.signed", std::string(1048577, '\n'))),
     "FILE_SIZE_LIMIT", Reached::kNoCrypto},
    {"signature_of_385_bytes", After([](MemoryPlatform& platform, const WideString& base) {
         const WideString path = PackagePath(base, "RELEASE.sig");
         platform.AddFile(path, platform.FileBytes(path) + "\n");
     }),
     "FILE_SIZE_LIMIT", Reached::kNoCrypto},
    {"signature_of_383_bytes", After([](MemoryPlatform& platform, const WideString& base) {
         const WideString path = PackagePath(base, "RELEASE.sig");
         platform.AddFile(path, platform.FileBytes(path).substr(0, 383));
     }),
     "SIGNATURE_SIZE", Reached::kNoCrypto},
    // Both signed correctly: the framing rule runs before the signature is looked at.
    {"empty_inventory", EditInventory([](std::string& text) { text.clear(); }), "INVENTORY_FORMAT",
     Reached::kNoCrypto},
    {"unterminated_inventory", EditInventory([](std::string& text) { text.pop_back(); }),
     "INVENTORY_FORMAT", Reached::kNoCrypto},
    {"payload_swapped_and_inventory_rehashed",
     After([](MemoryPlatform& platform, const WideString& base) {
         ReleaseFiles files = PackageFiles();
         files["VeltoMarn.payload"] = "attacker payload";
         platform.AddFile(PackagePath(base, "VeltoMarn.payload"), files["VeltoMarn.payload"]);
         platform.AddFile(PackagePath(base, "RELEASE.signed"), testing::InventoryText(files));
     }),
     "SIGNATURE_INVALID", Reached::kSignatureOnly},
    // Not one line of an unsigned inventory is interpreted.
    {"forged_inventory_breaking_the_header", After(Put("RELEASE.signed", "VELTO-MARN\n")),
     "SIGNATURE_INVALID", Reached::kSignatureOnly},
    {"signature_of_an_older_release", After([](MemoryPlatform& platform, const WideString& base) {
         platform.AddFile(PackagePath(base, "RELEASE.sig"),
                          SignatureBytes(testing::InventoryText(PackageFiles(), 2026103023)));
     }),
     "SIGNATURE_INVALID", Reached::kSignatureOnly},
    {"signed_inventory_omits_payload", EditInventory([](std::string& text) {
         ReleaseFiles files = PackageFiles();
         files.erase("VeltoMarn.payload");
         text = testing::InventoryText(files);
     }),
     "REQUIRED_FILES", Reached::kSignatureOnly},
    {"file_created_during_hashing", After([](MemoryPlatform& platform, const WideString& base) {
         // Reads 1 and 2 are the inventory files; read 3 is the first read of the payload.
         platform.OnCall(
             "ReadFile", [&platform, base] { platform.AddFile(PackagePath(base, "late.log"), ""); },
             3);
     }),
     "UNEXPECTED_FILE", Reached::kHashing, 5},
};

class VerifyDistributionFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(VerifyDistributionFailureTest, FirstFaultDecidesAndStopsTheRun) {
    const FailureCase& c = GetParam();
    MemoryPlatform platform;
    ReleasePlan plan;
    plan.files = PackageFiles();
    c.arrange(plan);
    testing::WriteSignedRelease(platform, kBase, plan);
    GuardedDirectory package(platform, kBase, 0);

    try {
        VerifyDistribution(package);
        ADD_FAILURE() << "accepted";
    } catch (const Failure& failure) {
        EXPECT_STREQ(failure.code(), c.code.c_str());
    }
    EXPECT_EQ(platform.LiveCngObjects(), 0u);
    const int hashes = platform.CallCount("BCryptFinishHash");
    switch (c.reached) {
        case Reached::kNoCrypto:
            EXPECT_EQ(platform.CallCount("BCryptOpenAlgorithmProvider"), 0);
            break;
        case Reached::kSignatureOnly:
            EXPECT_EQ(platform.CallCount("ReadFile"), 2);
            EXPECT_EQ(platform.CallCount("BCryptHashData"), 1);
            EXPECT_EQ(platform.CallCount("BCryptVerifySignature"), 1);
            EXPECT_EQ(HeldCount(platform, "VeltoMarn.payload"), 0);
            break;
        case Reached::kHashing:
            EXPECT_EQ(HeldCount(platform, "VeltoMarn.payload"), 1);
            break;
    }
    if (c.rowsHashed >= 0) {
        EXPECT_EQ(hashes - 1, c.rowsHashed);
    }
    for (const std::string& path : c.notOpened) {
        EXPECT_EQ(HeldCount(platform, path), 0) << path << " was opened after the first mismatch";
    }
}

INSTANTIATE_TEST_SUITE_P(Packages, VerifyDistributionFailureTest, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace veltomarn
