// The release tool as its users run it: keygen, sign, sign --prepare with attach-signature, and
// verify, on scratch packages of the real file system. A signed package passes the bootstrap's
// own check; every package the tool refuses to sign is left exactly as it was.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/guarded_directory.h"
#include "core/sha256.h"
#include "distribution/distribution_check.h"
#include "distribution/release_signature.h"
#include "platform/posix/posix_platform.h"
#include "release/payload_seal.h"
#include "release/release_keys.h"
#include "support/memory_platform.h"
#include "tools/tool_test_support.h"

namespace veltomarn::testing {
namespace {

namespace fs = std::filesystem;
using release::KeyPointer;

constexpr char kSequence[] = "2026103022";
// What verify reports about the payload of WriteMinimalPackage.
constexpr char kMinimalPayload[] = " files=4 plaintextBytes=458\n";

template <typename Case>
requires std::is_same_v<decltype(Case::name), const char*>
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::array<uint8_t, 32> Sha256(const std::string& bytes) {
    std::array<uint8_t, 32> digest{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

std::string Hex(const std::array<uint8_t, 32>& digest) {
    return DigestHex(digest);
}

// A fresh RSA key of `bits` with public exponent `exponent`.
KeyPointer MakeKey(unsigned bits, unsigned exponent) {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    BIGNUM* e = BN_new();
    BN_set_word(e, exponent);
    if (context == nullptr || EVP_PKEY_keygen_init(context) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(context, static_cast<int>(bits)) != 1 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context, e) != 1 ||
        EVP_PKEY_generate(context, &key) != 1) {
        key = nullptr;
    }
    BN_free(e);
    EVP_PKEY_CTX_free(context);
    return KeyPointer(key);
}

// A key made once for the whole program: 3072-bit generation takes a moment.
EVP_PKEY* OtherReleaseKey() {
    static const KeyPointer key = MakeKey(3072, 65537);
    return key.get();
}

// A signature of `digest` with the PSS padding instead of PKCS #1 v1.5.
std::vector<uint8_t> PssSignature(EVP_PKEY* key, const std::array<uint8_t, 32>& digest) {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
    std::vector<uint8_t> signature(384);
    std::size_t length = signature.size();
    const bool ok = context != nullptr && EVP_PKEY_sign_init(context) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PSS_PADDING) == 1 &&
                    EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) == 1 &&
                    EVP_PKEY_sign(context, signature.data(), &length, digest.data(), 32) == 1;
    EVP_PKEY_CTX_free(context);
    if (!ok) throw std::runtime_error("PSS signing failed");
    return signature;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    WriteTextFile(path, std::string(bytes.begin(), bytes.end()));
}

class ReleaseToolTest : public ::testing::Test {
  protected:
    ReleaseToolTest() : package_(scratch_ / "pkg") { WriteMinimalPackage(package_); }

    ToolRun Sign(const std::string& sequence = kSequence) {
        return RunReleaseTool(
            {"sign", "--key", TestPrivateKeyPath(), "--sequence", sequence, package_});
    }
    ToolRun Prepare(const std::string& sequence = kSequence) {
        return RunReleaseTool({"sign", "--prepare", "--sequence", sequence, package_});
    }
    ToolRun Verify(const std::string& publicKey = TestPublicKeyPath()) {
        return RunReleaseTool(
            {"verify", "--public-key", publicKey, "--key-shares", BuildKeySharesPath(), package_});
    }
    ToolRun Attach(const std::vector<uint8_t>& signature) {
        WriteBytes(scratch_ / "external.sig", signature);
        return RunReleaseTool({"attach-signature", "--public-key", TestPublicKeyPath(),
                               scratch_ / "external.sig", package_});
    }
    std::string Inventory() { return ReadTextFile(package_ + "/RELEASE.signed"); }

    ScratchDirectory scratch_;
    const std::string package_;
};

// --- the whole round -------------------------------------------------------------------------

TEST_F(ReleaseToolTest, KeygenThenSignThenVerifyPasses) {
    const std::string keys = scratch_ / "keys";
    MakeDirectories(keys);
    const ToolRun keygen = RunReleaseTool({"keygen", "--out", keys});
    ASSERT_EQ(keygen.status, 0) << keygen.err;

    struct stat status;
    ASSERT_EQ(stat((keys + "/release-signing.key.pem").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((keys + "/payload-key-shares.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((keys + "/release-signing.pub.pem").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
    EXPECT_EQ(
        ReadTextFile(keys + "/release-signing.pub.pem").rfind("-----BEGIN PUBLIC KEY-----", 0), 0u);
    const std::string shares = ReadTextFile(keys + "/payload-key-shares.txt");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(shares, match, std::regex("([0-9a-f]{64})\n([0-9a-f]{64})\n")))
        << shares;
    EXPECT_NE(match[1].str(), match[2].str());
    // The shape the bootstrap's build demands (RSA-3072, 3-byte exponent) is checked on load.
    EXPECT_EQ(EVP_PKEY_get_bits(release::LoadPrivateKey(keys + "/release-signing.key.pem").get()),
              3072);

    const ToolRun sign = RunReleaseTool(
        {"sign", "--key", keys + "/release-signing.key.pem", "--sequence", "2026103100", package_});
    ASSERT_EQ(sign.status, 0) << sign.err;
    EXPECT_EQ(sign.out, "signed " + package_ + " sequence=2026103100 files=4\n");
    EXPECT_EQ(ReadTextFile(package_ + "/RELEASE.sig").size(), 384u);

    const ToolRun verify = Verify(keys + "/release-signing.pub.pem");
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_EQ(verify.out, "OK sequence=2026103100" + std::string(kMinimalPayload));

    const ToolRun otherKey = Verify(TestPublicKeyPath());
    EXPECT_EQ(otherKey.status, 1);
    EXPECT_EQ(otherKey.err,
              "veltomarn-release verify: SIGNATURE_INVALID: " + package_ + "/RELEASE.sig\n");
}

TEST_F(ReleaseToolTest, InventoryListsEveryFileInByteOrderUnderTheHeader) {
    ASSERT_EQ(Sign().status, 0);
    const std::string payload = ReadTextFile(package_ + "/VeltoMarn.payload");
    const std::string manifest = Hex(Sha256("{\"release\": 1}\n"));
    const std::string expected =
        "VELTO-MARN-SIGNED-DISTRIBUTION-V1\n"
        "channel=community\n"
        "sequence=2026103022\n"
        "abi=1\n"
        "manifest=" +
        manifest +
        "\n"
        "files=4\n" +
        Hex(Sha256(payload)) + "\t" + std::to_string(payload.size()) + "\tVeltoMarn.payload\n" +
        Hex(Sha256("MZ bootstrap bytes")) + "\t18\tVeltoMarnLauncher.exe\n" +
        Hex(Sha256(std::string(1000, '\x7f'))) + "\t1000\tdata/levels/level-1.bin\n" + manifest +
        "\t15\tpackage/release.json\n";
    EXPECT_EQ(Inventory(), expected);
}

// The compiled-in key of this build must be the repository's test key for the bootstrap itself
// to accept what the test key signed.
bool BootstrapKeyIsTheTestKey() {
    return ReleaseKeyBlob() == release::LoadPublicKeyBlob(TestPublicKeyPath());
}

TEST_F(ReleaseToolTest, SignedPackagePassesTheBootstrapsCheckOnTheWindowsModel) {
    if (!BootstrapKeyIsTheTestKey()) GTEST_SKIP() << "the build's release key is not the test key";
    ASSERT_EQ(Sign("2026111907").status, 0);

    MemoryPlatform platform;
    const WideString base = u"C:\\Games\\VeltoMarn";
    platform.AddDirectory(base);
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(package_)) {
        const std::string relative = fs::relative(entry.path(), package_).string();
        WideString path = base + u"\\";
        for (const char c : relative) path.push_back(c == '/' ? u'\\' : static_cast<WideChar>(c));
        if (entry.is_directory()) {
            platform.AddDirectory(path);
        } else {
            platform.AddFile(path, ReadTextFile(entry.path()));
        }
    }
    GuardedDirectory guard(platform, base, 0);
    EXPECT_EQ(VerifyDistribution(guard), 2026111907u);
}

TEST_F(ReleaseToolTest, SignedPackagePassesTheBootstrapsCheckWithTheCompiledInKey) {
    if (!BootstrapKeyIsTheTestKey()) GTEST_SKIP() << "the build's release key is not the test key";
    ASSERT_EQ(Sign().status, 0);
    PosixPlatform platform;
    GuardedDirectory guard(platform, *DrivePathFromLinux(package_), 0);
    EXPECT_EQ(VerifyDistribution(guard), 2026103022u);
}

TEST_F(ReleaseToolTest, SigningTwiceReplacesBothFiles) {
    ASSERT_EQ(Sign("2026103022").status, 0);
    const std::string firstInventory = Inventory();
    const std::string firstSignature = ReadTextFile(package_ + "/RELEASE.sig");
    {
        ScratchDirectory inner;
        WriteInnerDirectory(inner.path());
        WriteTextFile(inner / "assets/new.txt", "newer");
        SealWithBuildKey(inner.path(), package_ + "/VeltoMarn.payload");
    }

    const ToolRun second = Sign("2026103023");
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_NE(Inventory(), firstInventory);
    EXPECT_NE(Inventory().find("sequence=2026103023\n"), std::string::npos);
    EXPECT_NE(ReadTextFile(package_ + "/RELEASE.sig"), firstSignature);
    const ToolRun verify = Verify();
    EXPECT_EQ(verify.out, "OK sequence=2026103023 files=5 plaintextBytes=463\n") << verify.err;
    // Nothing of the replacement is left behind.
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(package_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"RELEASE.sig", "RELEASE.signed", "VeltoMarn.payload",
                                               "VeltoMarnLauncher.exe", "data", "package"}));
}

TEST_F(ReleaseToolTest, PackageOfExactly512FilesIsSigned) {
    for (int k = 0; k < 508; ++k) WriteTextFile(package_ + "/many/f" + std::to_string(k), "");
    const ToolRun sign = Sign();
    ASSERT_EQ(sign.status, 0) << sign.err;
    EXPECT_NE(sign.out.find("files=512"), std::string::npos);
    EXPECT_EQ(Verify().status, 0);
}

// --- offline signing -------------------------------------------------------------------------

TEST_F(ReleaseToolTest, PrepareThenExternalSignatureThenAttachPassesVerify) {
    if (std::string(VELTOMARN_OPENSSL_COMMAND).empty()) GTEST_SKIP() << "no openssl command";
    ASSERT_EQ(Sign().status, 0);  // a stale pair that --prepare must replace

    const ToolRun prepare = Prepare("2026103099");
    ASSERT_EQ(prepare.status, 0) << prepare.err;
    EXPECT_FALSE(fs::exists(package_ + "/RELEASE.sig"));
    EXPECT_EQ(prepare.out, Hex(Sha256(Inventory())) + "\n");

    // As an HSM would: the raw PKCS #1 v1.5 signature of the 32 digest bytes.
    const std::array<uint8_t, 32> digest = Sha256(Inventory());
    WriteBytes(scratch_ / "digest.bin", std::vector<uint8_t>(digest.begin(), digest.end()));
    ASSERT_EQ(
        RunProgram(VELTOMARN_OPENSSL_COMMAND,
                   {"pkeyutl", "-sign", "-inkey", TestPrivateKeyPath(), "-pkeyopt", "digest:sha256",
                    "-in", scratch_ / "digest.bin", "-out", scratch_ / "hsm.sig"}),
        0);
    const ToolRun attach = RunReleaseTool(
        {"attach-signature", "--public-key", TestPublicKeyPath(), scratch_ / "hsm.sig", package_});
    ASSERT_EQ(attach.status, 0) << attach.err;
    EXPECT_EQ(ReadTextFile(package_ + "/RELEASE.sig"), ReadTextFile(scratch_ / "hsm.sig"));
    const ToolRun verify = Verify();
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_EQ(verify.out, "OK sequence=2026103099" + std::string(kMinimalPayload));
}

struct WrongSignatureCase {
    const char* name;
    // Given the inventory in place and the signature of the package signed before it.
    std::function<std::vector<uint8_t>(const std::string& inventory,
                                       const std::vector<uint8_t>& stale)>
        make;
    const char* code;
};

const WrongSignatureCase kWrongSignatures[] = {
    {"all_zero_bytes", [](const std::string&, const auto&) { return std::vector<uint8_t>(384); },
     "SIGNATURE_INVALID"},
    {"signature_of_the_previous_inventory",
     [](const std::string&, const auto& stale) { return stale; }, "SIGNATURE_INVALID"},
    {"signed_with_another_key",
     [](const std::string& inventory, const auto&) {
         return release::SignDigest(OtherReleaseKey(), Sha256(inventory));
     },
     "SIGNATURE_INVALID"},
    {"pss_padding",
     [](const std::string& inventory, const auto&) {
         return PssSignature(release::LoadPrivateKey(TestPrivateKeyPath()).get(),
                             Sha256(inventory));
     },
     "SIGNATURE_INVALID"},
    {"one_byte_changed",
     [](const std::string& inventory, const auto&) {
         std::vector<uint8_t> signature = release::SignDigest(
             release::LoadPrivateKey(TestPrivateKeyPath()).get(), Sha256(inventory));
         signature[200] ^= 0x01;
         return signature;
     },
     "SIGNATURE_INVALID"},
    {"truncated_to_383_bytes",
     [](const std::string& inventory, const auto&) {
         std::vector<uint8_t> signature = release::SignDigest(
             release::LoadPrivateKey(TestPrivateKeyPath()).get(), Sha256(inventory));
         signature.pop_back();
         return signature;
     },
     "SIGNATURE_SIZE"},
    {"one_byte_appended",
     [](const std::string& inventory, const auto&) {
         std::vector<uint8_t> signature = release::SignDigest(
             release::LoadPrivateKey(TestPrivateKeyPath()).get(), Sha256(inventory));
         signature.push_back('\n');
         return signature;
     },
     "SIGNATURE_SIZE"},
    {"empty_file", [](const std::string&, const auto&) { return std::vector<uint8_t>(); },
     "SIGNATURE_SIZE"},
};

class WrongSignatureTest : public ReleaseToolTest,
                           public ::testing::WithParamInterface<WrongSignatureCase> {};

TEST_P(WrongSignatureTest, AttachRefusesAndLeavesThePackageAsItWas) {
    const WrongSignatureCase& c = GetParam();
    ASSERT_EQ(Sign().status, 0);
    const std::vector<uint8_t> stale = Bytes(ReadTextFile(package_ + "/RELEASE.sig"));

    // Once with no signature in place (after --prepare), once with a valid one in place.
    for (const bool prepared : {true, false}) {
        SCOPED_TRACE(prepared ? "after sign --prepare" : "over a valid signature");
        ASSERT_EQ((prepared ? Prepare("2026103023") : Sign("2026103024")).status, 0);
        const TreeSnapshot before = Snapshot(package_);
        const ToolRun attach = Attach(c.make(Inventory(), stale));
        EXPECT_EQ(attach.status, 1);
        EXPECT_NE(attach.err.find(std::string(c.code) + ": " + (scratch_ / "external.sig")),
                  std::string::npos)
            << attach.err;
        EXPECT_EQ(Snapshot(package_), before);
        EXPECT_EQ(fs::exists(package_ + "/RELEASE.sig"), !prepared);
    }
}

INSTANTIATE_TEST_SUITE_P(Signatures, WrongSignatureTest, ::testing::ValuesIn(kWrongSignatures),
                         [](const auto& info) { return std::string(info.param.name); });

// --- what sign refuses -------------------------------------------------------------------------

struct RefusalCase {
    const char* name;
    // Changes the signed package at `package` (scratch space beside it at `scratch`); returns
    // false where this file system cannot hold the fault.
    std::function<bool(const std::string& package, const std::string& scratch)> make;
    const char* sequence;
    const char* message;  // part of the message on standard error
};

bool Write(const std::string& path, const std::string& bytes = "x") {
    WriteTextFile(path, bytes);
    return true;
}

const RefusalCase kRefusals[] = {
    {"symbolic_link_to_a_file",
     [](const std::string& p, const std::string&) {
         return symlink("../VeltoMarn.payload", (p + "/data/payload-link").c_str()) == 0;
     },
     kSequence, "/data/payload-link: a symbolic link"},
    {"symbolic_link_to_a_directory",
     [](const std::string& p, const std::string&) {
         return symlink("data", (p + "/assets").c_str()) == 0;
     },
     kSequence, "/assets: a symbolic link"},
    {"hard_link_to_a_file_outside",
     [](const std::string& p, const std::string& s) {
         return link((p + "/data/levels/level-1.bin").c_str(), (s + "/copy.bin").c_str()) == 0;
     },
     kSequence, "/data/levels/level-1.bin: has 2 names (a hard link)"},
    {"fifo_in_the_package",
     [](const std::string& p, const std::string&) {
         return mkfifo((p + "/data/pipe").c_str(), 0600) == 0;
     },
     kSequence, "/data/pipe: neither a plain file nor a directory"},
    {"name_with_a_space",
     [](const std::string& p, const std::string&) { return Write(p + "/data/read me.txt"); },
     kSequence, "/data/read me.txt: a name the bootstrap refuses (PATH_CHARACTER)"},
    {"name_with_an_accented_letter",
     [](const std::string& p, const std::string&) { return Write(p + "/data/caf\xC3\xA9.txt"); },
     kSequence, "/data/caf\\xC3\\xA9.txt: a name the bootstrap refuses (PATH_CHARACTER)"},
    {"device_name",
     [](const std::string& p, const std::string&) { return Write(p + "/data/Con.txt"); }, kSequence,
     "/data/Con.txt: a name the bootstrap refuses (PATH_DEVICE)"},
    {"name_ending_with_a_dot",
     [](const std::string& p, const std::string&) { return Write(p + "/data/name."); }, kSequence,
     "/data/name.: a name the bootstrap refuses (PATH_COMPONENT)"},
    {"seventeen_levels",
     [](const std::string& p, const std::string&) {
         return Write(p + "/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/deep.txt");
     },
     kSequence, "(PATH_COMPONENT)"},
    {"case_alias_of_two_files",
     [](const std::string& p, const std::string&) {
         return Write(p + "/data/readme.txt") && Write(p + "/data/README.txt");
     },
     kSequence, "/data/readme.txt: differs only in letter case from"},
    {"case_alias_of_two_directories",
     [](const std::string& p, const std::string&) {
         return Write(p + "/Docs/a.txt") && Write(p + "/docs/b.txt");
     },
     kSequence, "/docs: differs only in letter case from"},
    {"file_aliasing_a_directory",
     [](const std::string& p, const std::string&) { return Write(p + "/data/Levels"); }, kSequence,
     "/data/levels: differs only in letter case from"},
    {"bootstrap_in_other_case",
     [](const std::string& p, const std::string&) {
         fs::rename(p + "/VeltoMarnLauncher.exe", p + "/veltomarnlauncher.exe");
         return true;
     },
     kSequence, "/VeltoMarnLauncher.exe: missing"},
    {"reserved_name_in_a_subdirectory",
     [](const std::string& p, const std::string&) { return Write(p + "/data/release.sig"); },
     kSequence, "/data/release.sig: a reserved name"},
    {"reserved_name_at_the_top_in_other_case",
     [](const std::string& p, const std::string&) { return Write(p + "/release.signed"); },
     kSequence, "/release.signed: a reserved name"},
    {"reserved_name_as_a_directory",
     [](const std::string& p, const std::string&) { return Write(p + "/Release.Sig/x.txt"); },
     kSequence, "/Release.Sig: a reserved name"},
    {"signature_name_taken_by_a_directory",
     [](const std::string& p, const std::string&) {
         fs::remove(p + "/RELEASE.sig");
         return Write(p + "/RELEASE.sig/x.txt");
     },
     kSequence, "/RELEASE.sig: not a plain file"},
    {"missing_bootstrap",
     [](const std::string& p, const std::string&) {
         return fs::remove(p + "/VeltoMarnLauncher.exe");
     },
     kSequence, "/VeltoMarnLauncher.exe: missing"},
    {"missing_payload",
     [](const std::string& p, const std::string&) { return fs::remove(p + "/VeltoMarn.payload"); },
     kSequence, "/VeltoMarn.payload: missing"},
    {"missing_manifest",
     [](const std::string& p, const std::string&) {
         return fs::remove(p + "/package/release.json") && Write(p + "/package/other.json");
     },
     kSequence, "/package/release.json: missing"},
    {"manifest_directory_in_other_case",
     [](const std::string& p, const std::string&) {
         fs::rename(p + "/package", p + "/Package");
         return true;
     },
     kSequence, "/package/release.json: missing"},
    {"empty_directory",
     [](const std::string& p, const std::string&) {
         return fs::create_directories(p + "/data/empty");
     },
     kSequence, "/data/empty: an empty directory"},
    {"directory_holding_only_an_empty_directory",
     [](const std::string& p, const std::string&) {
         return fs::create_directories(p + "/data/outer/inner");
     },
     kSequence, "/data/outer/inner: an empty directory"},
    {"more_than_512_files",
     [](const std::string& p, const std::string&) {
         for (int k = 0; k < 509; ++k) Write(p + "/many/f" + std::to_string(k), "");
         return true;
     },
     kSequence, "one file too many: a package holds at most 512 files"},
    {"file_over_4_gib",
     [](const std::string& p, const std::string&) {
         return truncate((p + "/VeltoMarn.payload").c_str(), 4294967297) == 0;
     },
     kSequence, "/VeltoMarn.payload: larger than 4 GiB"},
    {"leftover_of_an_interrupted_run",
     [](const std::string& p, const std::string&) { return Write(p + "/RELEASE.signed~new"); },
     kSequence, "/RELEASE.signed~new: left over from an interrupted run"},
    {"sequence_below_the_floor", [](const std::string&, const std::string&) { return true; },
     "2026103021", "--sequence 2026103021: below 2026103022"},
    {"sequence_with_a_leading_zero", [](const std::string&, const std::string&) { return true; },
     "02026103022", "(NONCANONICAL_NUMBER)"},
    {"sequence_not_a_number", [](const std::string&, const std::string&) { return true; },
     "20261030x2", "(INVALID_NUMBER)"},
    {"sequence_over_the_maximum", [](const std::string&, const std::string&) { return true; },
     "9223372036854775808", "(NUMBER_LIMIT)"},
};

class RefusalTest : public ReleaseToolTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, SignRefusesAndLeavesThePackageByteForByte) {
    const RefusalCase& c = GetParam();
    ASSERT_EQ(Sign().status, 0);  // the old pair must survive the refusal
    if (!c.make(package_, scratch_.path())) GTEST_SKIP() << "this file system cannot hold it";
    const TreeSnapshot before = Snapshot(package_);

    const ToolRun keyed = Sign(c.sequence);
    EXPECT_EQ(keyed.status, 2);
    EXPECT_NE(keyed.err.find(c.message), std::string::npos) << keyed.err;
    EXPECT_EQ(Snapshot(package_), before);

    const ToolRun prepared = Prepare(c.sequence);
    EXPECT_EQ(prepared.status, 2);
    EXPECT_NE(prepared.err.find(c.message), std::string::npos) << prepared.err;
    EXPECT_TRUE(prepared.out.empty());
    EXPECT_EQ(Snapshot(package_), before);
}

INSTANTIATE_TEST_SUITE_P(Faults, RefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

struct KeyRefusalCase {
    const char* name;
    std::function<std::string(const std::string& scratch)> makeKeyFile;
    const char* message;
};

std::string WriteKey(const std::string& path, EVP_PKEY* key) {
    WriteTextFile(path, release::PrivateKeyPem(key));
    return path;
}

const KeyRefusalCase kKeyRefusals[] = {
    {"key_of_2048_bits",
     [](const std::string& s) { return WriteKey(s + "/small.pem", MakeKey(2048, 65537).get()); },
     "the modulus has 2048 bits; the release key must have 3072"},
    {"key_with_a_one_byte_exponent",
     [](const std::string& s) { return WriteKey(s + "/e3.pem", MakeKey(3072, 3).get()); },
     "the public exponent is 1 bytes long"},
    {"public_key_given_as_the_private_key", [](const std::string&) { return TestPublicKeyPath(); },
     "no PEM private key could be read"},
    {"missing_key_file", [](const std::string& s) { return s + "/absent.pem"; },
     "/absent.pem: cannot open"},
};

class KeyRefusalTest : public ReleaseToolTest,
                       public ::testing::WithParamInterface<KeyRefusalCase> {};

TEST_P(KeyRefusalTest, SignRefusesTheKeyAndChangesNothing) {
    const KeyRefusalCase& c = GetParam();
    const std::string key = c.makeKeyFile(scratch_.path());
    const TreeSnapshot before = Snapshot(package_);
    const ToolRun run = RunReleaseTool({"sign", "--key", key, "--sequence", kSequence, package_});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(Snapshot(package_), before);
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyRefusalTest, ::testing::ValuesIn(kKeyRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

struct KeygenCollisionCase {
    const char* name;
    const char* taken;
};

const KeygenCollisionCase kKeygenCollisions[] = {
    {"private_key_exists", "release-signing.key.pem"},
    {"public_key_exists", "release-signing.pub.pem"},
    {"key_shares_exist", "payload-key-shares.txt"},
};

class KeygenCollisionTest : public ReleaseToolTest,
                            public ::testing::WithParamInterface<KeygenCollisionCase> {};

TEST_P(KeygenCollisionTest, KeygenWritesNothingWhenAnyNameIsTaken) {
    const std::string keys = scratch_ / "keys";
    WriteTextFile(keys + "/" + GetParam().taken, "an older key: keep me");
    const TreeSnapshot before = Snapshot(keys);
    const ToolRun run = RunReleaseTool({"keygen", "--out", keys});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(keys + "/" + GetParam().taken + ": exists already"), std::string::npos)
        << run.err;
    EXPECT_EQ(Snapshot(keys), before);
}

INSTANTIATE_TEST_SUITE_P(Names, KeygenCollisionTest, ::testing::ValuesIn(kKeygenCollisions),
                         [](const auto& info) { return std::string(info.param.name); });

// --- what verify finds -------------------------------------------------------------------------

// Replaces the package's inventory by `inventory`, signed with the test key.
void SignInventory(const std::string& package, const std::string& inventory) {
    WriteTextFile(package + "/RELEASE.signed", inventory);
    WriteBytes(package + "/RELEASE.sig",
               release::SignDigest(release::LoadPrivateKey(TestPrivateKeyPath()).get(),
                                   Sha256(inventory)));
}

// Changes the package's payload with `edit`, then signs the package again, so that only the
// payload's own checks can find the change.
void ChangePayloadAndSign(const std::string& package,
                          const std::function<void(std::string&)>& edit) {
    std::string payload = ReadTextFile(package + "/VeltoMarn.payload");
    edit(payload);
    WriteTextFile(package + "/VeltoMarn.payload", payload);
    ASSERT_EQ(
        RunReleaseTool({"sign", "--key", TestPrivateKeyPath(), "--sequence", kSequence, package})
            .status,
        0);
}

struct VerifyFailureCase {
    const char* name;
    std::function<void(const std::string& package, const std::string& scratch)> change;
    const char* code;
    const char* path;  // the path reported, relative to the package ("" for the package itself)
    bool otherKey = false;
};

const VerifyFailureCase kVerifyFailures[] = {
    {"one_byte_changed",
     [](const std::string& p, const std::string&) {
         std::string payload = ReadTextFile(p + "/VeltoMarn.payload");
         payload.back() ^= 0x01;
         WriteTextFile(p + "/VeltoMarn.payload", payload);
     },
     "FILE_HASH_MISMATCH", "VeltoMarn.payload"},
    {"one_byte_changed_in_a_nested_file",
     [](const std::string& p, const std::string&) {
         std::string bytes(1000, '\x7f');
         bytes[999] = 0;
         WriteTextFile(p + "/data/levels/level-1.bin", bytes);
     },
     "FILE_HASH_MISMATCH", "data/levels/level-1.bin"},
    {"file_grew",
     [](const std::string& p, const std::string&) {
         WriteTextFile(p + "/VeltoMarnLauncher.exe", "MZ bootstrap bytes!");
     },
     "FILE_SIZE_MISMATCH", "VeltoMarnLauncher.exe"},
    {"file_added",
     [](const std::string& p, const std::string&) { WriteTextFile(p + "/data/desktop.ini", "x"); },
     "UNEXPECTED_FILE", "data/desktop.ini"},
    {"empty_directory_added",
     [](const std::string& p, const std::string&) { fs::create_directories(p + "/logs"); },
     "UNEXPECTED_DIRECTORY", "logs"},
    {"listed_file_removed",
     [](const std::string& p, const std::string&) { fs::remove(p + "/data/levels/level-1.bin"); },
     "INCOMPLETE_TREE", ""},
    {"signature_removed",
     [](const std::string& p, const std::string&) { fs::remove(p + "/RELEASE.sig"); }, "FILE_OPEN",
     "RELEASE.sig"},
    {"inventory_stored_in_lower_case",
     [](const std::string& p, const std::string&) {
         fs::rename(p + "/RELEASE.signed", p + "/release.signed");
     },
     "UNEXPECTED_FILE", "release.signed"},
    {"bootstrap_renamed_in_other_case",
     [](const std::string& p, const std::string&) {
         fs::rename(p + "/VeltoMarnLauncher.exe", p + "/veltomarnlauncher.exe");
     },
     "UNEXPECTED_FILE", "veltomarnlauncher.exe"},
    {"inventory_tampered",
     [](const std::string& p, const std::string&) {
         std::string inventory = ReadTextFile(p + "/RELEASE.signed");
         inventory[inventory.find("sequence=") + 18] = '3';
         WriteTextFile(p + "/RELEASE.signed", inventory);
     },
     "SIGNATURE_INVALID", "RELEASE.sig"},
    {"link_added",
     [](const std::string& p, const std::string&) {
         ASSERT_EQ(symlink("level-1.bin", (p + "/data/levels/shortcut").c_str()), 0);
     },
     "TREE_REPARSE", "data/levels/shortcut"},
    {"listed_file_replaced_by_a_link",
     [](const std::string& p, const std::string& s) {
         fs::rename(p + "/VeltoMarn.payload", s + "/payload");
         ASSERT_EQ(symlink((s + "/payload").c_str(), (p + "/VeltoMarn.payload").c_str()), 0);
     },
     "TREE_REPARSE", "VeltoMarn.payload"},
    {"hard_link_made_to_a_listed_file",
     [](const std::string& p, const std::string& s) {
         ASSERT_EQ(link((p + "/VeltoMarn.payload").c_str(), (s + "/second").c_str()), 0);
     },
     "FILE_TYPE_OR_LINK", "VeltoMarn.payload"},
    {"well_signed_inventory_below_the_floor",
     [](const std::string& p, const std::string&) {
         std::string inventory = ReadTextFile(p + "/RELEASE.signed");
         inventory.replace(inventory.find("sequence=2026103022"), 19, "sequence=2026103021");
         SignInventory(p, inventory);
     },
     "RELEASE_TOO_OLD", "RELEASE.signed"},
    {"well_signed_inventory_with_a_space_in_a_path",
     [](const std::string& p, const std::string&) {
         std::string inventory = ReadTextFile(p + "/RELEASE.signed");
         inventory.replace(inventory.find("data/levels/"), 12, "data/lev ls/");
         SignInventory(p, inventory);
     },
     "PATH_CHARACTER", "RELEASE.signed"},
    {"inventory_without_its_last_line_feed",
     [](const std::string& p, const std::string&) {
         std::string inventory = ReadTextFile(p + "/RELEASE.signed");
         inventory.pop_back();
         SignInventory(p, inventory);
     },
     "INVENTORY_FORMAT", "RELEASE.signed"},
    {"checked_with_another_public_key", [](const std::string&, const std::string&) {},
     "SIGNATURE_INVALID", "RELEASE.sig", true},
    {"payload_last_ciphertext_byte_changed_and_signed_again",
     [](const std::string& p, const std::string&) {
         ChangePayloadAndSign(p, [](std::string& payload) { payload.back() ^= 0x01; });
     },
     "PAYLOAD_AUTHENTICATION", "VeltoMarn.payload"},
    {"payload_identity_byte_changed_and_signed_again",
     [](const std::string& p, const std::string&) {
         ChangePayloadAndSign(p, [](std::string& payload) { payload[28] ^= 0x01; });
     },
     "PAYLOAD_AUTHENTICATION", "VeltoMarn.payload"},
    {"payload_record_digest_changed_and_signed_again",
     [](const std::string& p, const std::string&) {
         ChangePayloadAndSign(p, [](std::string& payload) { payload[44 + 10] ^= 0x01; });
     },
     "PAYLOAD_AUTHENTICATION", "VeltoMarn.payload"},
    {"payload_byte_appended_and_signed_again",
     [](const std::string& p, const std::string&) {
         ChangePayloadAndSign(p, [](std::string& payload) { payload.push_back('\0'); });
     },
     "PAYLOAD_TRAILING_DATA", "VeltoMarn.payload"},
    {"payload_cut_short_and_signed_again",
     [](const std::string& p, const std::string&) {
         ChangePayloadAndSign(p, [](std::string& payload) { payload.pop_back(); });
     },
     "PAYLOAD_TRUNCATED", "VeltoMarn.payload"},
    {"payload_not_sealed_and_signed_again",
     [](const std::string& p, const std::string&) {
         ChangePayloadAndSign(p, [](std::string& payload) { payload = "sealed payload bytes"; });
     },
     "PAYLOAD_TRUNCATED", "VeltoMarn.payload"},
    {"payload_magic_changed_and_signed_again",
     [](const std::string& p, const std::string&) {
         ChangePayloadAndSign(p, [](std::string& payload) { payload[14] = '2'; });
     },
     "PAYLOAD_MAGIC", "VeltoMarn.payload"},
    {"payload_sealed_with_another_key_and_signed_again",
     [](const std::string& p, const std::string& s) {
         WriteTextFile(s + "/other-shares.txt", release::NewPayloadKeyShares());
         WriteInnerDirectory(s + "/inner");
         release::SealPayload(s + "/inner", p + "/VeltoMarn.payload",
                              release::LoadPayloadKey(s + "/other-shares.txt"), nullptr);
         ChangePayloadAndSign(p, [](std::string&) {});
     },
     "PAYLOAD_AUTHENTICATION", "VeltoMarn.payload"},
};

class VerifyFailureTest : public ReleaseToolTest,
                          public ::testing::WithParamInterface<VerifyFailureCase> {};

TEST_P(VerifyFailureTest, ReportsTheBootstrapsCodeAndThePath) {
    const VerifyFailureCase& c = GetParam();
    ASSERT_EQ(Sign().status, 0);
    ASSERT_EQ(Verify().status, 0);
    c.change(package_, scratch_.path());
    std::string publicKey = TestPublicKeyPath();
    if (c.otherKey) {
        publicKey = scratch_ / "other.pub.pem";
        WriteTextFile(publicKey, release::PublicKeyPem(OtherReleaseKey()));
    }
    const ToolRun run = Verify(publicKey);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.out.empty()) << run.out;
    const std::string path = std::string(c.path).empty() ? package_ : package_ + "/" + c.path;
    EXPECT_EQ(run.err, "veltomarn-release verify: " + std::string(c.code) + ": " + path + "\n");
}

INSTANTIATE_TEST_SUITE_P(Changes, VerifyFailureTest, ::testing::ValuesIn(kVerifyFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the command line ---------------------------------------------------------------------------

struct UsageCase {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    const char* out;  // part of standard output ("" for none expected)
    const char* err;  // part of standard error
};

const UsageCase kUsageCases[] = {
    {"no_command", {}, 2, "", "Usage: veltomarn-release COMMAND"},
    {"tool_help", {"--help"}, 0, "Usage: veltomarn-release COMMAND", ""},
    {"keygen_help", {"keygen", "--help"}, 0, "Usage: veltomarn-release keygen --out DIR", ""},
    {"sign_help", {"sign", "--help"}, 0, "sign --prepare --sequence N PACKAGE_DIR", ""},
    {"attach_help",
     {"attach-signature", "--help"},
     0,
     "Usage: veltomarn-release attach-signature --public-key PUB.pem SIG PACKAGE_DIR",
     ""},
    {"verify_help",
     {"verify", "-h"},
     0,
     "Usage: veltomarn-release verify --public-key PUB.pem --key-shares FILE PACKAGE_DIR",
     ""},
    {"seal_help",
     {"seal", "--help"},
     0,
     "Usage: veltomarn-release seal --key-shares FILE --out VeltoMarn.payload INNER_DIR",
     ""},
    {"pack_help", {"help", "pack"}, 0, "Usage: veltomarn-release pack --key PRIVATE.pem", ""},
    {"tool_help_lists_seal_and_pack",
     {"--help"},
     0,
     "  seal              seal a directory (the inner launcher and its files) into "
     "VeltoMarn.payload\n  pack              lay out, seal and sign a whole package",
     ""},
    {"help_command", {"help", "sign"}, 0, "Usage: veltomarn-release sign --key", ""},
    {"unknown_command", {"publish"}, 2, "", "unknown command publish"},
    {"unknown_option", {"verify", "--key", "x", "dir"}, 2, "", "unknown option --key"},
    {"option_without_value", {"sign", "--sequence"}, 2, "", "--sequence needs a value"},
    {"option_given_twice",
     {"sign", "--sequence=2026103022", "--sequence=2026103023"},
     2,
     "",
     "--sequence is given twice"},
    {"sign_without_sequence", {"sign", "--prepare", "dir"}, 2, "", "--sequence is required"},
    {"sign_without_key_or_prepare",
     {"sign", "--sequence", "2026103022", "dir"},
     2,
     "",
     "--key is required"},
    {"prepare_with_key",
     {"sign", "--prepare", "--key", "k.pem", "--sequence", "2026103022", "dir"},
     2,
     "",
     "--prepare signs nothing and takes no --key"},
    {"keygen_without_out", {"keygen"}, 2, "", "--out is required"},
    {"verify_without_directory",
     {"verify", "--public-key", VELTOMARN_TEST_KEYS_DIR "/release-signing-TEST-ONLY.pub.pem",
      "--key-shares", VELTOMARN_BUILD_KEY_SHARES},
     2,
     "",
     "expected one PACKAGE_DIR"},
    {"verify_without_key_shares",
     {"verify", "--public-key", VELTOMARN_TEST_KEYS_DIR "/release-signing-TEST-ONLY.pub.pem", "."},
     2,
     "",
     "--key-shares is required"},
    {"verify_of_a_missing_directory",
     {"verify", "--public-key", VELTOMARN_TEST_KEYS_DIR "/release-signing-TEST-ONLY.pub.pem",
      "--key-shares", VELTOMARN_BUILD_KEY_SHARES, "/nonexistent/package"},
     2,
     "",
     "/nonexistent/package: cannot resolve the directory"},
    {"verify_with_a_private_key_as_public",
     {"verify", "--public-key", VELTOMARN_TEST_KEYS_DIR "/release-signing-TEST-ONLY.key.pem",
      "--key-shares", VELTOMARN_BUILD_KEY_SHARES, "."},
     2,
     "",
     "no PEM public key"},
};

class UsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, ExitStatusAndMessage) {
    const UsageCase& c = GetParam();
    const ToolRun run = RunReleaseTool(c.arguments);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    if (std::string(c.out).empty()) {
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    if (std::string(c.err).empty()) {
        EXPECT_TRUE(run.err.empty()) << run.err;
    }
}

INSTANTIATE_TEST_SUITE_P(CommandLine, UsageTest, ::testing::ValuesIn(kUsageCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace veltomarn::testing
