// veltomarn-release as its users run it: the real binary, spawned on a scratch directory. The round
// trips end in `verify` passing; every refusal ends with its exit status and message and leaves the
// scratch directory exactly as it was: no payload, no temporary file, no package directory.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "release/release_keys.h"
#include "support/host_support.h"
#include "support/test_support.h"

namespace veltomarn::test {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using Dir = const fs::path&;

const std::string kKeys = VELTOMARN_TEST_KEYS_DIR;
const std::string kPrivateKey = kKeys + "/release-signing-TEST-ONLY.key.pem";
const std::string kPublicKey = kKeys + "/release-signing-TEST-ONLY.pub.pem";
// The shares of the payload key this build holds (its default VELTOMARN_PAYLOAD_KEY).
const std::string kShares = kKeys + "/payload-key-shares-TEST-ONLY.txt";
// Well-formed shares of another payload key.
const std::string kOtherShares = std::string(64, 'a') + "\n" + std::string(64, '5') + "\n";
constexpr char kSequence[] = "2026103022";
// How pack and verify end their line for the payload sealed from the inner directory of LayOut,
// signed with the key of `fingerprint` (by default the test key's, as openssl computes it).
std::string InnerPayload(const std::string& fingerprint =
                             "895ffefada0a9e2caed2d93994adbac8673e04a529fadf2d007da501b09c4ec5") {
    return " files=4 payloadFiles=7 plaintextBytes=1048 keyFingerprint=" + fingerprint + "\n";
}

// A stand-in for a bootstrap built with the test keys: it holds the release key's modulus and
// the payload key's shares.
const std::string kBootstrap = [] {
    const std::vector<uint8_t> blob = release::LoadPublicKeyBlob(kPublicKey);
    const release::PayloadKeyMaterial key = release::LoadPayloadKey(kShares);
    return "MZ bootstrap" + std::string(blob.begin(), blob.end()) +
           std::string(key.shares()[0].begin(), key.shares()[0].end()) + "|" +
           std::string(key.shares()[1].begin(), key.shares()[1].end());
}();

// Runs `program` (the release tool unless named) from a directory of its own, so that its output
// files never appear in what a case compares.
ProgramRun Tool(Args arguments, const std::string& program = VELTOMARN_RELEASE_TOOL) {
    static const TemporaryDirectory directory;
    arguments.insert(arguments.begin(), program);
    return RunProgram(arguments, directory.path);
}

// What the release tool writes on a terminal (standard output and error), run with `arguments`
// (no spaces or quotes in them) while `typed` (a printf format) is typed, then nothing.
std::string OnTerminal(const Args& arguments, const std::string& typed = "") {
    std::string line = VELTOMARN_RELEASE_TOOL;
    for (const std::string& argument : arguments) line += " " + argument;
    return Tool({"-c", "printf '" + typed + "' | script -qec '" + line + "' /dev/null"}, "sh")
        .standardOutput;
}

// For the setup of a case: a run that must succeed.
void Ok(const ProgramRun& run) {
    if (run.exitCode != 0) throw std::runtime_error("setup failed: " + run.standardError);
}

// The inputs of pack: the inner directory (the inner launcher, its signed inventory, a nested
// file and an empty one), a stand-in for the built bootstrap and the manifest.
void LayOut(const fs::path& w) {
    WriteFile(w / "inner/VeltoMarnLauncher.exe", "MZ inner launcher");
    WriteFile(w / "inner/config/launcher.json", "{\"inner\": true}\n");
    WriteFile(w / "inner/empty.txt", "");
    WriteFile(w / "inner/VeltoMarn.payload", "the inner release lists a payload too\n");
    WriteFile(w / "inner/package/release.json", "{}\n");
    Ok(Tool({"sign", "--key", kPrivateKey, "--sequence", kSequence, w / "inner"}));
    WriteFile(w / "VeltoMarnLauncher.exe", kBootstrap);
    WriteFile(w / "release.json", "{\"release\": 1}\n");
}

Args With(Args arguments, const Args& more) {
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}
Args Seal(Dir w, const fs::path& out, const std::string& shares = kShares) {
    return {"seal", "--key-shares", shares, "--out", out, w / "inner"};
}
Args Pack(const fs::path& w, const std::string& key = kPrivateKey,
          const std::string& shares = kShares) {
    return With({"pack", "--key", key, "--key-shares", shares, "--sequence", kSequence},
                {"--inner", w / "inner", "--out", w / "pkg", "--manifest", w / "release.json",
                 "--bootstrap", w / "VeltoMarnLauncher.exe"});
}
Args Sign(const fs::path& package, const std::string& sequence = kSequence) {
    return {"sign", "--key", kPrivateKey, "--sequence", sequence, package};
}
Args Verify(const fs::path& package, const std::string& publicKey = kPublicKey,
            const std::string& shares = kShares) {
    return {"verify", "--public-key", publicKey, "--key-shares", shares, package};
}
// A package packed with the test keys (and `shares`): w/pkg.
fs::path Packed(const fs::path& w, const std::string& shares = kShares) {
    Ok(Tool(Pack(w, kPrivateKey, shares)));
    return w / "pkg";
}
constexpr char kTestKeyWarning[] = "veltomarn-release: warning: ";
constexpr char kTestKeyNote[] =
    " is one of the repository's TEST-ONLY keys (keys/test): never ship it\n";

// What a run ends with, in one string: the exit status, standard output and standard error
// without the warning about test keys.
std::string Said(const ProgramRun& run) {
    const std::string& err = run.standardError;
    const bool warned = err.starts_with(kTestKeyWarning);
    return std::to_string(run.exitCode) + " " + run.standardOutput +
           (warned ? err.substr(err.find('\n') + 1) : err);
}

class ReleaseToolTest : public ::testing::Test {
  protected:
    ReleaseToolTest() { LayOut(w_); }

    const TemporaryDirectory scratch_;
    const fs::path& w_ = scratch_.path;
};

TEST_F(ReleaseToolTest, KeygenThenPackThenVerifyPassesAndOneFlippedByteFails) {
    const fs::path keys = w_ / "keys";
    fs::create_directory(keys);
    // The new signing key encrypted, its passphrase in the environment of every command below.
    setenv("VELTOMARN_KEY_PASSPHRASE", "s3cret", 1);
    const std::unique_ptr<const char, int (*)(const char*)> unset("VELTOMARN_KEY_PASSPHRASE",
                                                                  unsetenv);
    const ProgramRun made = Tool({"keygen", "--encrypt", "--out", keys});
    EXPECT_TRUE(ReadFile(keys / "release-signing.key.pem").starts_with("-----BEGIN ENCRYPTED "));
    // The key's identity as openssl computes it from the public key file.
    const std::string fingerprint =
        Tool({"-c", "openssl pkey -pubin -outform DER -in " +
                        (keys / "release-signing.pub.pem").string() + " | sha256sum"},
             "sh")
            .standardOutput.substr(0, 64);
    EXPECT_TRUE(made.standardOutput.ends_with(".txt\nkeyFingerprint=" + fingerprint + "\n"));
    EXPECT_EQ(fs::status(keys / "release-signing.key.pem").permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(keys / "payload-key-shares.txt").permissions(), fs::perms(0600));
    // The new keys, whose shares no build holds: the tool checks with the shares it is given, and
    // a bootstrap built with the new release key.
    const std::vector<uint8_t> blob = release::LoadPublicKeyBlob(keys / "release-signing.pub.pem");
    const release::PayloadKeyMaterial key =
        release::LoadPayloadKey(keys / "payload-key-shares.txt");
    WriteFile(w_ / "VeltoMarnLauncher.exe",
              "MZ" + std::string(blob.begin(), blob.end()) +
                  std::string(key.shares()[0].begin(), key.shares()[0].end()) +
                  std::string(key.shares()[1].begin(), key.shares()[1].end()));
    WriteFile(w_ / "include/docs/readme.txt", "read me\n");
    const fs::path shares = keys / "payload-key-shares.txt";
    Ok(Tool({"sign", "--key", keys / "release-signing.key.pem", "--sequence", kSequence,
             w_ / "inner"}));
    const Args pack =
        With(Pack(w_, keys / "release-signing.key.pem", shares), {"--include", w_ / "include"});
    ASSERT_EQ(Said(Tool(pack)), "0 packed " + (w_ / "pkg").string() + " sequence=2026103022" +
                                    InnerPayload(fingerprint));
    const Args verify = Verify(w_ / "pkg", keys / "release-signing.pub.pem", shares);
    EXPECT_EQ(Tool(verify).standardError, "");  // own keys: no warning
    EXPECT_EQ(Said(Tool(verify)), "0 OK sequence=2026103022" + InnerPayload(fingerprint));
    // Without the payload key: all but the unsealing.
    EXPECT_EQ(Said(Tool({"verify", "--no-payload", "--public-key", keys / "release-signing.pub.pem",
                         w_ / "pkg"})),
              "0 OK sequence=2026103022" + InnerPayload(fingerprint) +
                  "inner release not checked: the payload stays sealed without --key-shares\n");

    const std::string json = Tool(With(verify, {"--json"})).standardOutput;
    EXPECT_TRUE(Tool(With(verify, {"--json", "--bogus"}))
                    .standardOutput.starts_with(R"({"verified": false, "status": 2, "message": )"));
    EXPECT_EQ(json,
              R"({"verified": true, "sequence": 2026103022, "files": 4, "payloadFiles": 7, )"
              R"("plaintextBytes": 1048, "payloadUnsealed": true, "innerReleaseChecked": true, )"
              R"("keyFingerprint": ")" +
                  fingerprint + "\"}\n");

    WriteFile(w_ / "pkg/docs/readme.txt", "read ma\n");  // one byte changed, the size kept
    EXPECT_EQ(Said(Tool(verify)), "1 veltomarn-release verify: FILE_HASH_MISMATCH: " +
                                      (w_ / "pkg/docs/readme.txt").string() + "\n");
}

TEST_F(ReleaseToolTest, SealAndSignThenPrepareAndAttachAnExternalSignatureEachPassVerify) {
    const fs::path pkg = w_ / "pkg";
    WriteFile(pkg / "VeltoMarnLauncher.exe", kBootstrap);
    WriteFile(pkg / "package/release.json", "{}");
    WriteFile(pkg / "data/levels/level-1.bin", std::string(1000, '\x7f'));
    ASSERT_EQ(Tool(Seal(w_, pkg / "VeltoMarn.payload")).exitCode, 0);
    // With an encrypted key, its passphrase from the environment; a wrong one is named so.
    Ok(Tool({"pkcs8", "-topk8", "-v2", "aes-256-cbc", "-passout", "pass:s3cret", "-in", kPrivateKey,
             "-out", w_ / "encrypted.pem"},
            "openssl"));
    const auto signWith = [&](const std::string& passphrase) {
        return Said(Tool({"VELTOMARN_KEY_PASSPHRASE=" + passphrase, VELTOMARN_RELEASE_TOOL, "sign",
                          "--key", w_ / "encrypted.pem", "--sequence", kSequence, pkg},
                         "env"));
    };
    EXPECT_NE(signWith("wrong").find("encrypted.pem: wrong passphrase"), std::string::npos);
    // On a terminal that answers nothing: asked once, and refused at once.
    const Args signEncrypted = {"sign",       "--key",      w_ / "encrypted.pem",
                                "--sequence", "2026103023", pkg};
    const std::string asked = OnTerminal(signEncrypted);
    EXPECT_TRUE(asked.starts_with("Enter PEM pass phrase:\r\nveltomarn-release sign: ")) << asked;
    EXPECT_NE(asked.find("encrypted.pem: no passphrase was entered"), std::string::npos) << asked;
    EXPECT_NE(OnTerminal(signEncrypted, "s3cret\\n").find("sequence=2026103023"),
              std::string::npos);
    ASSERT_EQ(signWith("s3cret"), "0 signed " + pkg.string() + " sequence=2026103022 files=4\n");
    // verify admits no file more: nothing of sealing or signing is left beside the package.
    const ProgramRun verify = Tool(Verify(pkg));
    EXPECT_EQ(Said(verify), "0 OK sequence=2026103022" + InnerPayload());
    EXPECT_EQ(verify.standardError, kTestKeyWarning + kPublicKey + kTestKeyNote);  // once

    const ProgramRun prepare =
        Tool({"sign", "--prepare", "--sequence", "2026103023", "--digest-out", w_ / "digest.bin",
              "--digest-info-out", w_ / "info.der", pkg});
    ASSERT_EQ(prepare.exitCode, 0) << prepare.standardError;
    EXPECT_FALSE(fs::exists(pkg / "RELEASE.sig"));
    EXPECT_EQ(ReadFile(w_ / "info.der").substr(19), ReadFile(w_ / "digest.bin"));
    // As an HSM would: PKCS #1 v1.5 over the 32 digest bytes, made by OpenSSL.
    Ok(Tool({"pkeyutl", "-sign", "-inkey", kPrivateKey, "-pkeyopt", "digest:sha256", "-in",
             w_ / "digest.bin", "-out", w_ / "hsm.sig"},
            "openssl"));
    const ProgramRun attach =
        Tool({"attach-signature", "--public-key", kPublicKey, w_ / "hsm.sig", pkg});
    ASSERT_EQ(attach.exitCode, 0) << attach.standardError;
    EXPECT_EQ(Said(Tool(Verify(pkg))), "0 OK sequence=2026103023" + InnerPayload());
}

// Setups of the table below.
const auto SealBeside = [](Dir w) { return Seal(w, w / "VeltoMarn.payload"); };
// verify of a package whose payload is sealed again, and the package signed again, after `change`
// to the inner folder, whose release stays as signed before.
Args Resealed(Dir w, void (*change)(Dir w)) {
    Packed(w);
    change(w);
    Ok(Tool(Seal(w, w / "pkg/VeltoMarn.payload")));
    Ok(Tool(Sign(w / "pkg")));
    return Verify(w / "pkg");
}
const auto PackIncluding = [](Dir w) { return With(Pack(w), {"--include", w / "include"}); };
const auto SignPacked = [](Dir w) { return Sign(Packed(w)); };

struct Refusal {
    const char* name;
    Args (*setup)(const fs::path& w);  // prepares what the command needs; the command line
    const char* fault;                 // a file written below w after the setup ("" none)
    int status;                        // 2 a usage or I/O refusal, 1 a failed verification
    const char* message;               // part of standard error
};

const Refusal kRefusals[] = {
    {"unknown_command", [](Dir) { return Args{"publish"}; }, "", 2, "unknown command publish"},
    {"unknown_option",
     [](Dir w) {
         return With(Verify(w), {"--key", kPrivateKey});
     },
     "", 2, "unknown option --key"},
    {"missing_required_option",
     [](Dir w) {
         return Args{"seal", "--out", w / "VeltoMarn.payload", w / "inner"};
     },
     "", 2, "--key-shares is required"},
    {"option_given_twice",
     [](Dir w) {
         return With(Pack(w), {"--out", w / "o"});
     },
     "", 2, "--out is given twice"},
    {"sequence_below_the_floor", [](Dir w) { return Sign(Packed(w), "2026103021"); }, "", 2,
     "--sequence 2026103021: below 2026103022"},
    {"public_key_given_as_the_signing_key", [](Dir w) { return Pack(w, kPublicKey); }, "", 2,
     "pub.pem: this is a public key"},
    {"keygen_over_an_existing_key",
     [](Dir w) {
         return Args{"keygen", "--out", w};
     },
     "release-signing.pub.pem", 2, "release-signing.pub.pem: exists already"},
    // What seal refuses in the inner directory.
    {"owner_record_name_at_the_top", SealBeside, "inner/.sealed-owner", 2,
     "/inner/.sealed-owner: a reserved name"},
    {"unsealing_scratch_name", SealBeside, "inner/config/a.sealed-partial", 2,
     "/inner/config/a.sealed-partial: a reserved name"},
    {"names_differing_only_in_letter_case", SealBeside, "inner/config/Launcher.json", 2,
     "/inner/config/launcher.json: differs only in letter case from"},
    {"unsealing_name_aliasing_another_file", SealBeside,
     "inner/config/launcher.json.SEALED-PARTIAL", 2, "/inner/config/launcher.json: is written as"},
    {"inner_launcher_signature_missing",
     [](Dir w) {
         fs::remove(w / "inner/RELEASE.sig");
         return SealBeside(w);
     },
     "", 2, "/inner/RELEASE.sig: missing"},
    {"key_shares_cut_short", [](Dir w) { return Seal(w, w / "p", w / "cut.txt"); }, "cut.txt", 2,
     "/cut.txt: not a payload key shares file"},
    {"payload_written_into_the_inner_directory",
     [](Dir w) { return Seal(w, w / "inner/config/VeltoMarn.payload"); }, "", 2,
     "/inner/config/VeltoMarn.payload: lies inside"},
    // What pack refuses; a failure after sealing removes what pack made.
    {"pack_over_a_directory_in_use", [](Dir w) { return Pack(w); }, "pkg/old.txt", 2,
     "/pkg: exists and is not empty"},
    {"package_inside_the_included_directory",
     [](Dir w) {
         return With(Pack(w), {"--include", w});
     },
     "", 2, "must lie apart"},
    {"include_impersonating_the_bootstrap_in_other_case", PackIncluding,
     "include/veltomarnlauncher.EXE", 2, "/include/veltomarnlauncher.EXE: collides with"},
    {"include_with_an_empty_directory_into_an_empty_package_directory",
     [](Dir w) {
         fs::create_directories(w / "include/logs");
         fs::create_directories(w / "pkg");
         return PackIncluding(w);
     },
     "", 2, "/include/logs: an empty directory"},
    // What sign refuses in a signed package: the old pair stays.
    {"hard_link_to_a_file_outside_the_package",
     [](Dir w) {
         fs::create_hard_link(Packed(w) / "package/release.json", w / "second-name");
         return Sign(w / "pkg");
     },
     "", 2, "/pkg/package/release.json: has 2 names (a hard link)"},
    {"case_twins_in_a_package", SignPacked, "pkg/package/Release.json", 2,
     "/pkg/package/release.json: differs only in letter case from"},
    {"package_without_its_payload",
     [](Dir w) {
         fs::remove(Packed(w) / "VeltoMarn.payload");
         return Sign(w / "pkg");
     },
     "", 2, "/pkg/VeltoMarn.payload: missing"},
    // A link and a reserved name below the top: the walk that every command shares refuses both at
    // once.
    {"every_problem_at_once",
     [](Dir w) {
         fs::create_symlink("release.json", Packed(w) / "package/link.json");
         return Sign(w / "pkg");
     },
     "pkg/package/Release.Sig", 2, "2 problems; nothing was written\n  /"},
    {"leftover_of_an_interrupted_run", SignPacked, "pkg/RELEASE.signed~new", 2,
     "/pkg/RELEASE.signed~new: left over from an interrupted run"},
    // Signatures and keys that do not fit the package.
    {"stale_signature_replayed_after_prepare",
     [](Dir w) {
         fs::copy_file(Packed(w) / "RELEASE.sig", w / "old.sig");
         Ok(Tool({"sign", "--prepare", "--sequence", "2026103023", w / "pkg"}));
         return Args{"attach-signature", "--public-key", kPublicKey, w / "old.sig", w / "pkg"};
     },
     "", 1, "SIGNATURE_INVALID: "},
    {"attach_after_the_files_changed",
     [](Dir w) {
         Ok(Tool({"sign", "--prepare", "--sequence", kSequence, Packed(w)}));
         Ok(Tool({"dgst", "-sha256", "-sign", kPrivateKey, "-out", w / "new.sig",
                  w / "pkg/RELEASE.signed"},
                 "openssl"));
         return Args{"attach-signature", "--public-key", kPublicKey, w / "new.sig", w / "pkg"};
     },
     "pkg/package/release.json", 2, "the files no longer match"},
    {"bootstrap_built_with_the_test_key_packed_with_another",
     [](Dir w) {
         Ok(Tool({"keygen", "--out", w}));
         return Pack(w, w / "release-signing.key.pem");
     },
     "", 2,
     "it holds the repository's TEST-ONLY key (fingerprint "
     "895ffefada0a9e2caed2d93994adbac8673e04a529fadf2d007da501b09c4ec5)"},
    {"verify_names_the_missing_file",
     [](Dir w) {
         fs::remove(Packed(w) / "package/release.json");
         return Verify(w / "pkg");
     },
     "", 1, "/pkg/package/release.json"},
    {"verify_of_a_package_whose_bootstrap_holds_another_key",
     [](Dir w) {
         Ok(Tool({"keygen", "--out", w}));
         Ok(Tool(
             {"sign", "--key", w / "release-signing.key.pem", "--sequence", kSequence, Packed(w)}));
         return Verify(w / "pkg", w / "release-signing.pub.pem");
     },
     "", 2, "it holds the repository's TEST-ONLY key"},
    // clang-format off
    {"prepare_over_an_existing_digest_file", [](Dir w) {
         return Args{"sign", "--prepare", "--sequence", kSequence, "--digest-out", w / "d", Packed(w)};
     }, "d", 2, "/d: exists already"},
    {"signing_key_that_others_may_read", [](Dir w) {
         Ok(Tool({"keygen", "--out", w}));
         fs::permissions(w / "release-signing.key.pem", fs::perms(0640));
         return Args{"sign", "--key", w / "release-signing.key.pem", "--sequence", kSequence, w};
     }, "", 2, "release-signing.key.pem: group or others may read this secret"},
    // clang-format on
    // clang-format off
    {"bootstrap_built_with_other_key_shares", [](Dir w) {
         WriteFile(w / "other-shares.txt", kOtherShares);
         return Pack(w, kPrivateKey, w / "other-shares.txt");
     }, "", 2, "does not hold the payload key shares of "},
    {"inner_launcher_given_as_the_bootstrap", [](Dir w) {
         WriteFile(w / "VeltoMarnLauncher.exe", kBootstrap.substr(0, kBootstrap.size() - 65));
         return Pack(w);
     }, "", 2, "every player would get PAYLOAD_AUTHENTICATION"},
    {"inner_release_signed_with_another_key", [](Dir w) {
         Ok(Tool({"keygen", "--out", w}));
         Ok(Tool({"sign", "--key", w / "release-signing.key.pem", "--sequence", kSequence, w / "inner"}));
         return Pack(w);
     }, "", 2, "inner: its own release does not pass with the key that signs the package, fingerprint 895ffefada0a9e2caed2d93994adbac8673e04a529fadf2d007da501b09c4ec5 (SIGNATURE_INVALID)"},
    {"verify_of_a_package_whose_bootstrap_lacks_the_shares", [](Dir w) {
         WriteFile(Packed(w) / "VeltoMarnLauncher.exe", kBootstrap.substr(0, kBootstrap.size() - 65));
         Ok(Tool(Sign(w / "pkg")));
         return Verify(w / "pkg");
     }, "", 2, "every player would get PAYLOAD_AUTHENTICATION"},
    // What the inner launcher refuses in the payload's inner release.
    {"inner_file_changed_keeping_its_size", [](Dir w) { return Resealed(w, [](Dir w) {
         WriteFile(w / "inner/config/launcher.json", "{\"inner\": TRUE}\n"); }); },
     "", 2, "VeltoMarn.payload: its own release does not pass with the key that signs the package, fingerprint 895ffefada0a9e2caed2d93994adbac8673e04a529fadf2d007da501b09c4ec5 (FILE_HASH_MISMATCH: inner config/launcher.json: SHA-256 "},
    {"inner_file_grown", [](Dir w) { return Resealed(w, [](Dir w) { WriteFile(w / "inner/empty.txt", "x"); }); },
     "", 2, "(FILE_SIZE_MISMATCH: inner empty.txt: 1 bytes in the payload, RELEASE.signed lists 0)"},
    {"inner_file_unlisted", [](Dir w) { return Resealed(w, [](Dir w) { WriteFile(w / "inner/config/x", ""); }); },
     "", 2, "(UNEXPECTED_FILE: inner config/x: in the payload, and not one of the files RELEASE.signed lists)"},
    {"inner_directory_unlisted", [](Dir w) { return Resealed(w, [](Dir w) { WriteFile(w / "inner/a/b/x", ""); }); },
     "", 2, "(UNEXPECTED_DIRECTORY: inner a: in the payload, and nothing RELEASE.signed lists lies in it)"},
    {"inner_file_missing", [](Dir w) { return Resealed(w, [](Dir w) { fs::remove(w / "inner/empty.txt"); }); },
     "", 2, "(INCOMPLETE_TREE: inner empty.txt: one of the files RELEASE.signed lists, not in the payload)"},
    {"inner_release_signed_with_another_key_after_packing", [](Dir w) { return Resealed(w, [](Dir w) {
         Ok(Tool({"keygen", "--out", w}));
         Ok(Tool({"sign", "--key", w / "release-signing.key.pem", "--sequence", kSequence, w / "inner"})); }); },
     "", 2, "(SIGNATURE_INVALID: inner RELEASE.sig): the inner launcher would refuse itself"},
    // Every command refuses before it writes.
    {"keygen_with_a_stray_argument", [](Dir w) { return Args{"keygen", "--out", w, "keys"}; }, "", 2, "expected no arguments besides --out DIR"},
    {"prepare_given_a_key", [](Dir w) { return Args{"sign", "--prepare", "--key", kPrivateKey, "--sequence", kSequence, Packed(w)}; }, "", 2, "takes no --key"},
    {"prepare_with_both_digests_in_one_file", [](Dir w) {
         return Args{"sign", "--prepare", "--sequence", kSequence, "--digest-out", w / "d", "--digest-info-out", w / "d", Packed(w)};
     }, "", 2, "--digest-out and --digest-info-out both name "},
    {"prepare_with_a_digest_file_in_the_package", [](Dir w) {
         return Args{"sign", "--prepare", "--sequence", kSequence, "--digest-info-out", w / "pkg/package/d", Packed(w)};
     }, "", 2, "/pkg/package/d lies in PACKAGE_DIR"},
    {"attach_of_a_signature_cut_short", [](Dir w) { return Args{"attach-signature", "--public-key", kPublicKey, w / "s", Packed(w)}; },
     "s", 1, "SIGNATURE_SIZE: "},
    {"verify_without_payload_given_shares", [](Dir w) { return With(Verify(w), {"--no-payload"}); }, "", 2, "takes no --key-shares"},
    {"seal_over_a_directory", [](Dir w) { fs::create_directory(w / "out"); return Seal(w, w / "out"); }, "", 2, "exists and is not a plain file"},
    // clang-format on
};

class RefusalTest : public ReleaseToolTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, ExitsWithTheStatusAndMessageAndLeavesEverythingAsItWas) {
    const Refusal& c = GetParam();
    const Args arguments = c.setup(w_);
    if (*c.fault != '\0') WriteFile(w_ / c.fault, "x");
    // Paths, bytes and modes of every file involved: the scratch directory and the test keys.
    const auto before = std::pair(Snapshot(w_), Snapshot(kKeys));
    const ProgramRun run = Tool(arguments);
    EXPECT_EQ(run.exitCode, c.status) << run.standardError;
    EXPECT_NE(run.standardError.find(c.message), std::string::npos) << run.standardError;
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(std::pair(Snapshot(w_), Snapshot(kKeys)), before);
}

INSTANTIATE_TEST_SUITE_P(Faults, RefusalTest, ::testing::ValuesIn(kRefusals),
                         veltomarn::test::CaseName<Refusal>);

TEST_F(ReleaseToolTest, PackEndedBySigintRemovesWhatItMadeAndSaysSo) {
    std::ofstream(w_ / "inner/big.bin").close();
    fs::resize_file(w_ / "inner/big.bin", 1u << 30);  // sparse: long to check, nothing on disk
    Ok(Tool(Sign(w_ / "inner")));
    fs::rename(w_ / "inner/big.bin", w_.parent_path() / "big.bin");  // not read into a snapshot
    const auto before = Snapshot(w_);
    fs::rename(w_.parent_path() / "big.bin", w_ / "inner/big.bin");
    const ProgramRun run =
        Tool(With({"--preserve-status", "-s", "INT", "0.5", VELTOMARN_RELEASE_TOOL},
                  With(Pack(w_), {"--json"})),
             "timeout");
    EXPECT_EQ(run.exitCode, 130) << run.standardError;
    EXPECT_TRUE(run.standardOutput.starts_with(R"({"packed": false, "status": 130, "message": )"))
        << run.standardOutput;
    fs::remove(w_ / "inner/big.bin");
    EXPECT_EQ(Snapshot(w_), before);
}

// On a terminal every long phase shows how far it has come; --quiet silences it.
TEST_F(ReleaseToolTest, LongPhasesShowProgressOnATerminalUnlessQuiet) {
    WriteFile(w_ / "inner/big.bin", std::string(9 << 20, 'x'));  // over the 8 MiB threshold
    Ok(Tool(Sign(w_ / "inner")));
    const std::string pack = OnTerminal(Pack(w_));
    for (const char* phase : {"\rsealing: 100% (", "\rhashing: 100% (", "\rverifying: 100% ("}) {
        EXPECT_NE(pack.find(phase), std::string::npos) << phase << " in " << pack;
    }
    EXPECT_EQ(OnTerminal(With(Verify(w_ / "pkg"), {"--quiet"})).find('%'), std::string::npos);
}

// A directory of --include swapped for a link to another directory while pack copies a long
// file out of it: the files after that one still come from the directory that was walked.
TEST_F(ReleaseToolTest, IncludeDirectorySwappedForALinkBringsInNothingFromElsewhere) {
    WriteFile(w_ / "include/docs/a-long.bin", "");
    fs::resize_file(w_ / "include/docs/a-long.bin", 1u << 29);
    WriteFile(w_ / "include/docs/b.txt", "the publisher's\n");
    WriteFile(w_ / "private/b.txt", "somebody else's\n");
    std::thread swap([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        fs::rename(w_ / "include/docs", w_ / "docs-walked");
        fs::create_directory_symlink(w_ / "private", w_ / "include/docs");
    });
    Tool(With(Pack(w_), {"--include", w_ / "include"}));
    swap.join();
    EXPECT_NE(ReadFile(w_ / "pkg/docs/b.txt"), "somebody else's\n");
}

}  // namespace
}  // namespace veltomarn::test
