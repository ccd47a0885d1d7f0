// `pack`: one command from an inner directory, a bootstrap and a manifest to a signed package that
// `verify` (the bootstrap's own check, payload unsealed) passes; every refusal or failure leaves
// no package directory behind, and an empty one that existed empty again.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "release/release_keys.h"
#include "tools/tool_test_support.h"

namespace veltomarn::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kSequence[] = "2026103022";

std::vector<std::string> FilesIn(const std::string& root) {
    std::vector<std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory()) files.push_back(fs::relative(entry.path(), root).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool Write(const std::string& path, const std::string& bytes = "x") {
    WriteTextFile(path, bytes);
    return true;
}

class PackTest : public ::testing::Test {
  protected:
    PackTest()
        : inner_(scratch_ / "inner"),
          include_(scratch_ / "include"),
          package_(scratch_ / "package"),
          bootstrap_(scratch_ / "build/VeltoMarnLauncher.exe"),
          manifest_(scratch_ / "release.json") {
        WriteInnerDirectory(inner_);
        WriteTextFile(inner_ + "/assets/levels/one.txt", "level one\n");
        WriteTextFile(include_ + "/docs/readme.txt", "read me\n");
        WriteTextFile(include_ + "/package/notes.txt", "notes\n");
        WriteTextFile(bootstrap_, "MZ the bootstrap");
        WriteTextFile(manifest_, "{\"release\": \"demo\"}\n");
    }

    std::vector<std::string> Arguments(const std::string& shares = BuildKeySharesPath()) const {
        return {"pack",         "--key",      TestPrivateKeyPath(),
                "--key-shares", shares,       "--sequence",
                kSequence,      "--inner",    inner_,
                "--out",        package_,     "--bootstrap",
                bootstrap_,     "--manifest", manifest_};
    }
    // `options`: pairs of option and value, each replacing the value of that option or added.
    ToolRun Pack(const std::vector<std::string>& options = {}) const {
        std::vector<std::string> arguments = Arguments();
        for (std::size_t k = 0; k + 1 < options.size(); k += 2) {
            const auto it = std::find(arguments.begin(), arguments.end(), options[k]);
            if (it != arguments.end()) {
                *(it + 1) = options[k + 1];
            } else {
                arguments.insert(arguments.end(), {options[k], options[k + 1]});
            }
        }
        return RunReleaseTool(arguments);
    }
    ToolRun Verify(const std::string& shares = BuildKeySharesPath()) const {
        return RunReleaseTool(
            {"verify", "--public-key", TestPublicKeyPath(), "--key-shares", shares, package_});
    }

    ScratchDirectory scratch_;
    const std::string inner_;
    const std::string include_;
    const std::string package_;
    const std::string bootstrap_;
    const std::string manifest_;
};

TEST_F(PackTest, PackedPackagePassesVerifyWithItsPayloadUnsealed) {
    const ToolRun pack = Pack({"--include", include_});
    ASSERT_EQ(pack.status, 0) << pack.err;
    EXPECT_TRUE(pack.err.empty()) << pack.err;
    EXPECT_EQ(pack.out, "packed " + package_ +
                            " sequence=2026103022 files=5 payloadFiles=5 plaintextBytes=468\n");
    EXPECT_EQ(FilesIn(package_),
              (std::vector<std::string>{"RELEASE.sig", "RELEASE.signed", "VeltoMarn.payload",
                                        "VeltoMarnLauncher.exe", "docs/readme.txt",
                                        "package/notes.txt", "package/release.json"}));
    EXPECT_EQ(ReadTextFile(package_ + "/VeltoMarnLauncher.exe"), "MZ the bootstrap");
    EXPECT_EQ(ReadTextFile(package_ + "/package/release.json"), "{\"release\": \"demo\"}\n");
    EXPECT_EQ(ReadTextFile(package_ + "/docs/readme.txt"), "read me\n");

    const ToolRun verify = Verify();
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_EQ(verify.out, "OK sequence=2026103022 files=5 plaintextBytes=468\n");
}

TEST_F(PackTest, PackFillsAnExistingEmptyDirectory) {
    MakeDirectories(package_);
    const ToolRun pack = Pack();
    ASSERT_EQ(pack.status, 0) << pack.err;
    EXPECT_EQ(FilesIn(package_),
              (std::vector<std::string>{"RELEASE.sig", "RELEASE.signed", "VeltoMarn.payload",
                                        "VeltoMarnLauncher.exe", "package/release.json"}));
    EXPECT_EQ(Verify().status, 0);
}

TEST_F(PackTest, OtherSharesAreSealedWithAndOnlyTheIndexIsChecked) {
    WriteTextFile(scratch_ / "other-shares.txt", release::NewPayloadKeyShares());
    const ToolRun pack = RunReleaseTool(Arguments(scratch_ / "other-shares.txt"));
    ASSERT_EQ(pack.status, 0) << pack.err;
    EXPECT_NE(pack.err.find("note: " + (scratch_ / "other-shares.txt") +
                            " form another payload key than the one this build of the tool holds"),
              std::string::npos)
        << pack.err;

    const ToolRun verify = Verify(scratch_ / "other-shares.txt");
    EXPECT_EQ(verify.status, 2);
    EXPECT_NE(verify.err.find("cannot unseal a payload sealed with them"), std::string::npos)
        << verify.err;
    EXPECT_TRUE(verify.out.empty());
    // With the build's key the sealed chunks do not authenticate.
    const ToolRun withBuildKey = Verify();
    EXPECT_EQ(withBuildKey.status, 1);
    EXPECT_EQ(withBuildKey.err, "veltomarn-release verify: PAYLOAD_AUTHENTICATION: " + package_ +
                                    "/VeltoMarn.payload\n");
}

struct PackRefusalCase {
    const char* name;
    // Prepares the fault in the scratch directory `s` (inner at s/inner, include at s/include,
    // package at s/package); returns options to add or replace (pairs of option and value).
    std::function<std::vector<std::string>(const std::string& s)> make;
    const char* message;              // part of the message on standard error
    bool packageExistsEmpty = false;  // the package directory existed, empty
};

const PackRefusalCase kPackRefusals[] = {
    {"inner_without_its_signature",
     [](const std::string& s) {
         fs::remove(s + "/inner/RELEASE.sig");
         return std::vector<std::string>{};
     },
     "/inner/RELEASE.sig: missing"},
    {"inner_with_an_empty_directory",
     [](const std::string& s) {
         fs::create_directories(s + "/inner/saves");
         return std::vector<std::string>{};
     },
     "/inner/saves: an empty directory"},
    {"include_holds_the_payload_name",
     [](const std::string& s) {
         Write(s + "/include/VeltoMarn.payload");
         return std::vector<std::string>{"--include", s + "/include"};
     },
     "/include/VeltoMarn.payload: collides with"},
    {"include_holds_the_bootstrap_in_other_case",
     [](const std::string& s) {
         Write(s + "/include/veltomarnlauncher.EXE");
         return std::vector<std::string>{"--include", s + "/include"};
     },
     "/include/veltomarnlauncher.EXE: collides with"},
    {"include_holds_the_manifest",
     [](const std::string& s) {
         Write(s + "/include/package/release.json");
         return std::vector<std::string>{"--include", s + "/include"};
     },
     "/include/package/release.json: collides with"},
    {"include_holds_the_manifest_directory_in_other_case",
     [](const std::string& s) {
         Write(s + "/include/Package/more.txt");
         return std::vector<std::string>{"--include", s + "/include"};
     },
     "/include/Package: collides with"},
    {"include_holds_a_file_named_like_the_manifest_directory",
     [](const std::string& s) {
         fs::remove_all(s + "/include");
         Write(s + "/include/package");
         return std::vector<std::string>{"--include", s + "/include"};
     },
     "/include/package: collides with"},
    {"include_holds_an_inventory_below_the_top",
     [](const std::string& s) {
         Write(s + "/include/docs/Release.Signed");
         return std::vector<std::string>{"--include", s + "/include"};
     },
     "/include/docs/Release.Signed: a reserved name"},
    {"include_holds_two_names_in_one_case",
     [](const std::string& s) {
         Write(s + "/include/docs/README.txt");
         return std::vector<std::string>{"--include", s + "/include"};
     },
     "/include/docs/readme.txt: collides with"},
    {"include_holds_a_link",
     [](const std::string& s) {
         if (symlink("readme.txt", (s + "/include/docs/link").c_str()) != 0)
             return std::vector<std::string>{};
         return std::vector<std::string>{"--include", s + "/include"};
     },
     "/include/docs/link: a symbolic link"},
    {"include_holds_an_empty_directory",
     [](const std::string& s) {
         fs::create_directories(s + "/include/logs");
         return std::vector<std::string>{"--include", s + "/include"};
     },
     "/include/logs: an empty directory"},
    {"include_holds_a_bad_name",
     [](const std::string& s) {
         Write(s + "/include/docs/con.txt");
         return std::vector<std::string>{"--include", s + "/include"};
     },
     "/include/docs/con.txt: a name the bootstrap refuses (PATH_DEVICE)"},
    {"package_directory_not_empty",
     [](const std::string& s) {
         Write(s + "/package/old.txt");
         return std::vector<std::string>{};
     },
     "/package: exists and is not empty"},
    {"package_directory_is_a_file",
     [](const std::string& s) {
         Write(s + "/package");
         return std::vector<std::string>{};
     },
     "/package: exists and is not a directory"},
    {"include_failure_after_sealing_in_an_existing_empty_directory",
     [](const std::string& s) {
         fs::create_directories(s + "/include/logs");
         return std::vector<std::string>{"--include", s + "/include"};
     },
     "/include/logs: an empty directory", true},
    {"inner_failure_in_an_existing_empty_directory",
     [](const std::string& s) {
         fs::remove(s + "/inner/VeltoMarnLauncher.exe");
         return std::vector<std::string>{};
     },
     "/inner/VeltoMarnLauncher.exe: missing", true},
    {"bootstrap_missing",
     [](const std::string& s) {
         fs::remove(s + "/build/VeltoMarnLauncher.exe");
         return std::vector<std::string>{};
     },
     "/build/VeltoMarnLauncher.exe: cannot inspect the file given as --bootstrap"},
    {"manifest_is_a_directory",
     [](const std::string& s) {
         fs::remove(s + "/release.json");
         fs::create_directories(s + "/release.json");
         return std::vector<std::string>{};
     },
     "/release.json: not a plain file"},
    {"inner_is_the_package_directory",
     [](const std::string& s) {
         fs::rename(s + "/inner", s + "/package");
         return std::vector<std::string>{"--inner", s + "/package"};
     },
     "must lie apart"},
    {"package_directory_inside_the_inner_directory",
     [](const std::string& s) {
         return std::vector<std::string>{"--out", s + "/inner/pkg"};
     },
     "must lie apart"},
    {"package_directory_inside_the_include_directory",
     [](const std::string& s) {
         return std::vector<std::string>{"--include", s + "/include", "--out",
                                         s + "/include/docs/pkg"};
     },
     "must lie apart"},
    {"package_directory_parent_missing",
     [](const std::string& s) {
         return std::vector<std::string>{"--out", s + "/missing/package"};
     },
     "/missing/: cannot resolve the directory"},
    {"sequence_below_the_floor",
     [](const std::string&) {
         return std::vector<std::string>{"--sequence", "2026103021"};
     },
     "--sequence 2026103021: below 2026103022"},
    {"signing_key_of_the_wrong_kind",
     [](const std::string&) {
         return std::vector<std::string>{"--key", TestPublicKeyPath()};
     },
     "no PEM private key could be read"},
    {"key_shares_malformed",
     [](const std::string& s) {
         Write(s + "/shares.txt", "not shares\n");
         return std::vector<std::string>{"--key-shares", s + "/shares.txt"};
     },
     "/shares.txt: not a payload key shares file"},
};

class PackRefusalTest : public PackTest, public ::testing::WithParamInterface<PackRefusalCase> {};

TEST_P(PackRefusalTest, RefusesAndLeavesNoPackage) {
    const PackRefusalCase& c = GetParam();
    if (c.packageExistsEmpty) MakeDirectories(package_);
    const std::vector<std::string> extra = c.make(scratch_.path());
    const bool packageExisted = fs::exists(package_);
    // The inputs, and the package directory if there was one, stay byte for byte as they were.
    const TreeSnapshot before = Snapshot(scratch_.path());

    const ToolRun run = Pack(extra);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_EQ(fs::exists(package_), packageExisted);
    EXPECT_EQ(Snapshot(scratch_.path()), before);
}

INSTANTIATE_TEST_SUITE_P(Faults, PackRefusalTest, ::testing::ValuesIn(kPackRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PackTest, FailureAfterTheLayoutRemovesThePackageDirectoryItMade) {
    // Sealing passes; the include directory fails once the package is half made.
    fs::create_directories(include_ + "/logs");
    const ToolRun run = Pack({"--include", include_});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(package_ + " was removed again"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(package_));
    // Nothing of the run is left beside it either.
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(scratch_.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"build", "include", "inner", "release.json"}));
}

struct PackUsageCase {
    const char* name;
    const char* drop;  // an option left out
    const char* err;
};

const PackUsageCase kPackUsage[] = {
    {"without_key", "--key", "--key is required"},
    {"without_key_shares", "--key-shares", "--key-shares is required"},
    {"without_sequence", "--sequence", "--sequence is required"},
    {"without_inner", "--inner", "--inner is required"},
    {"without_out", "--out", "--out is required"},
    {"without_bootstrap", "--bootstrap", "--bootstrap is required"},
    {"without_manifest", "--manifest", "--manifest is required"},
};

class PackUsageTest : public PackTest, public ::testing::WithParamInterface<PackUsageCase> {};

TEST_P(PackUsageTest, RefusedWithStatus2AndNoPackage) {
    std::vector<std::string> arguments = Arguments();
    const auto it = std::find(arguments.begin(), arguments.end(), GetParam().drop);
    ASSERT_NE(it, arguments.end());
    arguments.erase(it, it + 2);
    const ToolRun run = RunReleaseTool(arguments);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(GetParam().err), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(package_));
}

INSTANTIATE_TEST_SUITE_P(CommandLine, PackUsageTest, ::testing::ValuesIn(kPackUsage),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace veltomarn::testing
