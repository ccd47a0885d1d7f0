// The real VeltoMarnLauncher.exe under Wine, one row a fault: a fresh copy of the fixture package
// (made by the release tool with the test keys), changed the row's way and re-signed when the
// row says so, run with the row's arguments. Each row states the exact
// standard output, standard error and exit code, and no run may write into the package.

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/host_support.h"
#include "support/test_support.h"

namespace veltomarn::test {
namespace {

namespace fs = std::filesystem;

constexpr char kBootstrap[] = "VeltoMarnLauncher.exe";
constexpr char kSequence[] = "2026103022";
// The status line of a good package; $FILES and $BYTES come from fixture/inner, and $MS stands
// for any canonical decimal.
constexpr char kVerified[] =
    "SEALED_VERIFIED sequence=2026103022 files=$FILES plaintextBytes=$BYTES elapsedMs=$MS\n";
constexpr char kSessionDone[] =
    "SEALED_SELF_TEST_OK files=$FILES plaintextBytes=$BYTES "
    "innerSignatureVerified=1 cacheCleaned=1 elapsedMs=$MS\n";
// What the test package's inner launcher (probe_launcher.cpp) reports of a run that was handed
// what it must see, while the session's files were held.
constexpr char kVerifyRun[] = "verify sees its contract held\n";
constexpr char kRealRun[] = "real sees its contract held\n";

const fs::path kFixture = VELTOMARN_FIXTURE_DIR;
const fs::path kTestKey = fs::path(VELTOMARN_TEST_KEYS_DIR) / "release-signing-TEST-ONLY.key.pem";

// Who starts the bootstrap, and the Wine prefix that holds their cache.
struct Player {
    std::vector<std::string> command;  // runs a program as them, with `env` and its settings
    fs::path prefix;
};

const Player kSuite = {{"env"}, getenv("WINEPREFIX")};  // the suite's own user and prefix

// A player is never root, and Wine turns a directory's access list into permission bits, which
// bind every user but root: the unprivileged account scripts/setup.sh makes, in its own prefix
// and Wine session (scripts/wine-session.sh), where the suite runs as root; the suite's own user
// otherwise.
Player ThePlayer() {
    if (geteuid() != 0) return kSuite;
    const passwd* account = getpwnam("veltomarn-player");
    if (account == nullptr) throw std::runtime_error("no account veltomarn-player: run setup.sh");
    const std::string home = account->pw_dir;
    return {{"setpriv", "--reuid=veltomarn-player", "--regid=veltomarn-player", "--init-groups",
             "--", "env", "-i", "PATH=/usr/bin:/bin", "HOME=" + home,
             "WINEPREFIX=" + home + "/wine-veltomarn", "WINEDEBUG=-all",
             "WINEDLLOVERRIDES=mscoree,mshtml="},
            home + "/wine-veltomarn"};
}

// Hands the player a directory the suite made.
void Own(const fs::path& directory) {
    if (geteuid() == 0) RunProgram({"chown", "-R", "veltomarn-player:", directory.string()}, "/");
}

// The cache of the user of Wine prefix `prefix`, below their local application-data folder.
fs::path CacheRoot(const fs::path& prefix = getenv("WINEPREFIX")) {
    for (const auto& user : fs::directory_iterator(prefix / "drive_c/users")) {
        const fs::path root = user.path() / "AppData/Local/VeltoMarnLauncherProtected";
        if (fs::exists(root)) return root;
    }
    return {};
}

// Changes the letter case of the byte at `at`: the size stays, and text stays well formed.
void FlipCase(const fs::path& path, std::size_t at) {
    std::string bytes = ReadFile(path);
    bytes.at(at) ^= 0x20;
    WriteFile(path, bytes);
}

// Runs the release tool in `work`; throws with its messages when it fails.
void Tool(std::vector<std::string> arguments, const fs::path& work) {
    arguments.insert(arguments.begin(), VELTOMARN_RELEASE_TOOL);
    const ProgramRun run = RunProgram(arguments, work);
    if (run.exitCode != 0) throw std::runtime_error(arguments[1] + ": " + run.standardError);
}

void Sign(const fs::path& package, const fs::path& key, const fs::path& work) {
    Tool({"sign", "--key", key.string(), "--sequence", kSequence, package.string()}, work);
}

// The record offset of every chunk of a payload in stream order; throws unless the chunks end
// exactly at the payload's end.
std::vector<std::size_t> ChunkOffsets(const std::string& payload) {
    const auto number = [&](std::size_t at, std::size_t width) {
        if (at + width > payload.size()) throw std::out_of_range("the payload ends early");
        std::size_t value = 0;
        for (std::size_t k = width; k-- > 0;) value = value << 8 | uint8_t(payload[at + k]);
        return value;
    };
    std::size_t at = 44, chunkCount = 0;
    for (std::size_t file = 0, files = number(16, 4); file < files; ++file) {
        chunkCount += number(at + 42, 4);
        at += 46 + number(at, 2);
    }
    std::vector<std::size_t> chunks;
    for (; chunks.size() < chunkCount; at += 32 + number(at + 28, 4)) chunks.push_back(at);
    if (at != payload.size()) throw std::runtime_error("the chunks do not end the payload");
    return chunks;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// Whether `actual` is `expected` with $FILES and $BYTES filled in from fixture/inner and with a
// canonical decimal for $MS.
bool OutputMatches(const std::string& expected, const std::string& actual) {
    std::uintmax_t files = 0, bytes = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(kFixture / "inner")) {
        if (entry.is_regular_file()) ++files, bytes += entry.file_size();
    }
    // Every regular-expression character escaped, then the fields filled in.
    std::string pattern =
        std::regex_replace(expected, std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)");
    pattern = Replaced(Replaced(pattern, "\\$FILES", std::to_string(files)), "\\$BYTES",
                       std::to_string(bytes));
    return std::regex_match(actual, std::regex(Replaced(pattern, "\\$MS", "(0|[1-9][0-9]*)")));
}

struct Expected {
    std::string out;
    std::string err;
    int exitCode;
};

Expected Refused(const std::string& code) {
    return {"", "SECURITY_CHECK_FAILED: " + code + "\n", 1};
}

using Change = void (*)(const fs::path& package, const fs::path& work);
using PayloadEdit = void (*)(std::string& payload, const std::vector<std::size_t>& chunks);

struct Row {
    std::string name;
    std::vector<std::string> args = {"--verify-only"};
    Change change = nullptr;
    PayloadEdit payload = nullptr;  // VeltoMarn.payload, after `change`
    bool resign = false;            // with the test key, last
    std::string dllOverrides;       // Wine's load order for this run, when not the default
    std::string probe;              // VELTOMARN_PROBE for the inner launcher
    std::string innerRuns;          // what the inner launcher reports, when it is started
    Expected expect;
    bool player = false;  // started by ThePlayer(), not the suite's user
};

// clang-format off
const Row kRows[] = {
    {.name = "good_package_verifies", .expect = {kVerified, "", 0}},
    {.name = "self_test_runs_only_the_verify_run", .args = {"--self-test"}, .innerRuns = kVerifyRun,
     .expect = {kSessionDone, "", 0}},
    {.name = "normal_mode_on_a_widened_cache", .args = {},
     .change = [](auto&, auto&) { fs::permissions(CacheRoot(), fs::perms::all); },
     .innerRuns = std::string(kVerifyRun) + kRealRun, .expect = {kSessionDone, "", 0}},
    // Nothing can be added beside the game once its session is checked, in either run.
    {.name = "players_session_locked_while_the_game_runs", .args = {}, .probe = "plant",
     .innerRuns = std::string(kVerifyRun) + "verify locked\n" + kRealRun + "real locked\n",
     .expect = {kSessionDone, "", 0}, .player = true},
    {.name = "verify_run_rejects", .args = {}, .probe = "verify=3", .innerRuns = kVerifyRun,
     .expect = Refused("INNER_SIGNATURE_REJECTED")},
    // Under Wine an exit code arrives cut to 8 bits.
    {.name = "game_exit_code_passed_on", .args = {}, .probe = "exit=7",
     .innerRuns = std::string(kVerifyRun) + kRealRun, .expect = {kSessionDone, "", 7}},
    {.name = "verify_runs_grandchild_awaited_before_the_real_run", .args = {}, .probe = "grandchild",
     .innerRuns = std::string(kVerifyRun) + "grandchild done\n" + kRealRun,
     .expect = {kSessionDone, "", 0}},
    // A DLL beside the bootstrap that Windows would take before its system copy: were it loaded,
    // its marker file would change the package (and it answers every signature check with success).
    {.name = "planted_cng_library_never_loaded",
     .change = [](auto& p, auto&) { fs::copy_file(VELTOMARN_PLANTED_DLL, p / "bcrypt.dll"); },
     .dllOverrides = "WINEDLLOVERRIDES=mscoree,mshtml=;bcrypt=n,b",
     .expect = Refused("UNEXPECTED_FILE")},
    {.name = "manifest_byte_changed_same_size",
     .change = [](auto& p, auto&) { FlipCase(p / "package/release.json", 13); },
     .expect = Refused("FILE_HASH_MISMATCH")},
    {.name = "inventory_byte_changed_still_well_formed", .change = [](auto& p, auto&) {
         std::string text = ReadFile(p / "RELEASE.signed");
         char& digit = text.at(text.find("manifest=") + 9);
         digit = digit == '0' ? '1' : '0';
         WriteFile(p / "RELEASE.signed", text);
     }, .expect = Refused("SIGNATURE_INVALID")},
    {.name = "signed_by_another_key", .change = [](auto& p, auto& work) {
         fs::create_directory(work / "other");
         Tool({"keygen", "--out", (work / "other").string()}, work);
         Sign(p, work / "other/release-signing.key.pem", work);
     }, .expect = Refused("SIGNATURE_INVALID")},
    // Names, sizes and digests all stay as listed; only the link count tells.
    {.name = "listed_file_hard_linked_to_identical_file", .change = [](auto& p, auto&) {
         fs::remove(p / "docs/guide-copy.txt");
         fs::create_hard_link(p / "docs/guide.txt", p / "docs/guide-copy.txt");
     }, .expect = Refused("FILE_TYPE_OR_LINK")},
    {.name = "last_chunk_ciphertext_byte_flipped_in_a_session", .args = {},
     .payload = [](auto& b, auto& c) { b[c.back() + 32] ^= 1; }, .resign = true,
     .expect = Refused("PAYLOAD_AUTHENTICATION")},
    {.name = "chunks_of_two_files_swapped",
     .payload = [](auto& b, auto& c) {
         if (c[5] - c[4] != c[6] - c[5]) throw std::logic_error("the chunks differ in length");
         std::swap_ranges(b.begin() + c[4], b.begin() + c[5], b.begin() + c[5]);
     }, .resign = true, .expect = Refused("PAYLOAD_AUTHENTICATION")},
    {.name = "nonce_reused", .payload = [](auto& b, auto& c) { b.replace(c.back(), 12, b.substr(c.front(), 12)); },
     .resign = true, .expect = Refused("PAYLOAD_NONCE_REUSE")},
    {.name = "chunk_length_changed", .payload = [](auto& b, auto& c) { b[c.back() + 28] ^= 2; },
     .resign = true, .expect = Refused("PAYLOAD_CHUNK_LENGTH")},
    {.name = "payload_cut_by_one_byte", .payload = [](auto& b, auto&) { b.pop_back(); },
     .resign = true, .expect = Refused("PAYLOAD_TRUNCATED")},
    {.name = "trailing_byte_appended_in_a_session", .args = {"--self-test"},
     .payload = [](auto& b, auto&) { b.push_back('\0'); }, .resign = true,
     .expect = Refused("PAYLOAD_TRAILING_DATA")},
};
// clang-format on

class PackageRunTest : public ::testing::TestWithParam<Row> {};

TEST_P(PackageRunTest, PrintsExitsAndLeavesThePackageAsItsRowSays) {
    const Row& row = GetParam();
    const TemporaryDirectory work;
    const fs::path package = work.path / "package";
    fs::copy(kFixture / "package", package, fs::copy_options::recursive);
    if (row.change != nullptr) row.change(package, work.path);
    if (row.payload != nullptr) {
        std::string payload = ReadFile(package / "VeltoMarn.payload");
        row.payload(payload, ChunkOffsets(payload));
        WriteFile(package / "VeltoMarn.payload", payload);
    }
    if (row.resign) Sign(package, kTestKey, work.path);
    const auto before = Snapshot(package);

    const fs::path log = work.path / "inner-runs.log";
    const Player player = row.player ? ThePlayer() : kSuite;
    if (row.player) Own(work.path);
    std::vector<std::string> argv = player.command;
    argv.insert(argv.end(),
                {"VELTOMARN_PROBE=" + row.probe, "VELTOMARN_PROBE_LOG=Z:" + log.string(),
                 "PYTHONPATH=x", row.dllOverrides, "wine", (package / kBootstrap).string()});
    if (row.dllOverrides.empty()) argv.erase(argv.end() - 3);
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    const ProgramRun run = RunProgram(argv, work.path);

    EXPECT_EQ(run.exitCode, row.expect.exitCode);
    EXPECT_TRUE(OutputMatches(row.expect.out, run.standardOutput))
        << "standard output: \"" << run.standardOutput << "\"\nexpected: " << row.expect.out;
    EXPECT_EQ(run.standardError, row.expect.err);
    EXPECT_EQ(Snapshot(package), before) << "the run changed the package";
    EXPECT_EQ(fs::exists(log) ? ReadFile(log) : "", row.innerRuns);
    // Every session is gone, whatever happened; the cache stays closed to other users.
    const fs::path cache = CacheRoot(player.prefix);
    if (cache.empty()) return;
    for (const auto& payload : fs::directory_iterator(cache)) {
        EXPECT_TRUE(!payload.is_directory() || fs::is_empty(payload)) << payload.path();
    }
    EXPECT_EQ(fs::status(cache).permissions() & fs::perms::others_all, fs::perms::none);
}

INSTANTIATE_TEST_SUITE_P(Fixture, PackageRunTest, ::testing::ValuesIn(kRows), CaseName<Row>);

// A player's start killed while its game runs (its session locked: on Wine, directories nothing
// can be removed from), then at 20 moments: whatever its inner launcher started dies with it, and
// the next start recovers the session left behind and runs, every time.
TEST(KilledStartTest, TheNextStartRecoversEveryTime) {
    const TemporaryDirectory work;
    fs::copy(kFixture / "package", work.path / "package", fs::copy_options::recursive);
    const Player player = ThePlayer();
    Own(work.path);
    const fs::path log = work.path / "inner-runs.log";
    const auto start = [&](const std::string& probe, int milliseconds) {
        std::vector<std::string> argv = player.command;
        argv.insert(argv.end(),
                    {"VELTOMARN_PROBE=" + probe, "VELTOMARN_PROBE_LOG=Z:" + log.string(), "wine",
                     (work.path / "package" / kBootstrap).string()});
        return RunProgram(argv, work.path, std::chrono::milliseconds(milliseconds));
    };
    std::mt19937 random(20261206);
    for (int round = 0; round <= 20; ++round) {
        start(round == 0 ? "wait" : "grandchild",
              round == 0 ? 6000 : std::uniform_int_distribution<int>(50, 1200)(random));
        if (round == 0) {
            ASSERT_NE(ReadFile(log).find("real"), std::string::npos) << "killed early";
        }
        const ProgramRun next = start("", 60000);
        EXPECT_EQ(next.exitCode, 0) << "round " << round << ": " << next.standardError;
    }
    // A grandchild that outlived a kill writes its line 1.5 s after it began.
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    EXPECT_EQ((fs::exists(log) ? ReadFile(log) : "").find("grandchild"), std::string::npos);
}

// A player with a display: an X server of the test's own (xvfb-run) and a Wine session of its own,
// started cold by the bootstrap itself; a console inner launcher; a check that takes seconds. The
// progress window appears, Escape cancels and nothing is left; a start let be reaches both runs
// with the window gone; without a display the start runs as ever.
TEST(ProgressWindowTest, ShownCancelledByEscapeAndGoneBeforeTheGame) {
    if (getenv("DISPLAY") == nullptr) GTEST_SKIP() << "needs a display (ctest's e2e.window)";
    const TemporaryDirectory work;
    const fs::path inner = work.path / "inner", log = work.path / "inner-runs.log";
    fs::copy(kFixture / "inner", inner, fs::copy_options::recursive);
    fs::remove(inner / kBootstrap);
    fs::copy_file(VELTOMARN_CONSOLE_PROBE, inner / kBootstrap);
    WriteFile(inner / "assets/big.bin", std::string(std::size_t{160} << 20, 'b'));
    Sign(inner, kTestKey, work.path);
    Tool({"pack", "--key", kTestKey.string(), "--key-shares",
          (kTestKey.parent_path() / "payload-key-shares-TEST-ONLY.txt").string(), "--sequence",
          kSequence, "--inner", inner.string(), "--out", "package", "--bootstrap",
          (kFixture / "package" / kBootstrap).string(), "--manifest",
          (kFixture / "release.json").string()},
         work.path);
    const fs::path prefix = getenv("WINEPREFIX");
    if (!fs::exists(prefix / "system.reg")) RunProgram({"wineboot", "--init"}, work.path);
    RunProgram({"wineserver", "-k"}, work.path);
    const auto start = [&](std::vector<std::string> argv, const std::string& run) {
        fs::create_directory(work.path / run);
        argv.insert(argv.begin(), "env");
        argv.insert(argv.end(), {"VELTOMARN_PROBE=window", "VELTOMARN_PROBE_LOG=Z:" + log.string(),
                                 "wine", (work.path / "package" / kBootstrap).string()});
        return RunProgram(argv, work.path / run, std::chrono::seconds(120));
    };
    const auto withWindow = [&](const std::vector<std::string>& keys) {
        ProgramRun run;
        std::thread player([&] { run = start({}, "run"); });
        std::vector<std::string> xdotool = {"xdotool",       "search", "--sync",
                                            "--onlyvisible", "--name", "^VELTO MARN Launcher$",
                                            "windowfocus",   "--sync"};
        xdotool.insert(xdotool.end(), keys.begin(), keys.end());
        const ProgramRun found = RunProgram(xdotool, work.path, std::chrono::seconds(60));
        player.join();
        EXPECT_EQ(found.exitCode, 0) << "no progress window: " << found.standardError;
        return run;
    };
    const ProgramRun cancelled = withWindow({"key", "Escape"});
    EXPECT_EQ(cancelled.exitCode, 1);
    EXPECT_EQ(cancelled.standardError, "SECURITY_CHECK_FAILED: USER_CANCELLED\n");
    EXPECT_FALSE(fs::exists(log)) << "the inner launcher ran";
    const std::string runs =
        "verify sees its contract held\nverify no window\n"
        "real sees its contract held\nreal no window\n";
    for (const ProgramRun& run : {withWindow({}), start({"-u", "DISPLAY"}, "headless")}) {
        EXPECT_EQ(run.exitCode, 0) << run.standardError;
        EXPECT_EQ(run.standardOutput.rfind("SEALED_SELF_TEST_OK ", 0), 0u) << run.standardOutput;
    }
    EXPECT_EQ(fs::exists(log) ? ReadFile(log) : "", runs + runs);
    for (const auto& payload : fs::directory_iterator(CacheRoot(prefix))) {
        EXPECT_TRUE(!payload.is_directory() || fs::is_empty(payload)) << payload.path();
    }
    RunProgram({"wineserver", "-k"}, work.path);
}

// Authenticode as a publisher applies it, with a code-signing certificate made for the run: a
// bootstrap signed before pack passes verify and its own session under Wine (verify --self-test),
// which fails when the inner launcher rejects its release; signed after pack, verify names why.
TEST(AuthenticodeTest, SignedBeforePackPassesTheSelfTestSignedAfterPackIsNamed) {
    const TemporaryDirectory work;
    const fs::path& w = work.path;
    const auto run = [&](const std::vector<std::string>& argv) { return RunProgram(argv, w); };
    if (run({"sh", "-c", "command -v osslsigncode"}).exitCode != 0) {
        GTEST_SKIP() << "osslsigncode is not installed (scripts/setup.sh installs it)";
    }
    ASSERT_EQ(run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                   "-subj", "/CN=VeltoMarn test", "-addext", "extendedKeyUsage=codeSigning",
                   "-keyout", "code.key", "-out", "code.crt"})
                  .exitCode,
              0);
    ASSERT_EQ(run({"osslsigncode", "sign", "-certs", "code.crt", "-key", "code.key", "-in",
                   kFixture / "package" / kBootstrap, "-out", "signed.exe"})
                  .exitCode,
              0);
    const fs::path keys = VELTOMARN_TEST_KEYS_DIR;
    Tool({"pack", "--key", kTestKey, "--key-shares", keys / "payload-key-shares-TEST-ONLY.txt",
          "--sequence", kSequence, "--inner", kFixture / "inner", "--out", w / "early",
          "--bootstrap", w / "signed.exe", "--manifest", kFixture / "release.json", "--include",
          kFixture / "include"},
         w);
    fs::copy(kFixture / "package", w / "late", fs::copy_options::recursive);
    fs::copy_file(w / "signed.exe", w / "late" / kBootstrap, fs::copy_options::overwrite_existing);
    // `output`: --json, or --quiet for the lines a person reads.
    const auto verify = [&](const std::string& probe, const fs::path& package, const char* output) {
        return run({"env", "TMPDIR=" + w.string(), "VELTOMARN_PROBE=" + probe,
                    VELTOMARN_RELEASE_TOOL, "verify", "--public-key",
                    keys / "release-signing-TEST-ONLY.pub.pem", "--no-payload", "--self-test",
                    output, package});
    };
    const ProgramRun early = verify("", w / "early", "--quiet");
    EXPECT_EQ(early.exitCode, 0) << early.standardError;
    const std::string& lines = early.standardOutput;
    EXPECT_TRUE(lines.starts_with("OK sequence=2026103022 files=5 ")) << lines;
    EXPECT_TRUE(OutputMatches(kSessionDone, lines.substr(lines.rfind('\n', lines.size() - 2) + 1)))
        << lines;
    const ProgramRun rejected = verify("verify=3", w / "early", "--json");
    EXPECT_EQ(rejected.exitCode, 1);
    EXPECT_NE(rejected.standardOutput.find(R"("selfTestPassed": false, "selfTest": )"
                                           R"("SECURITY_CHECK_FAILED: INNER_SIGNATURE_REJECTED )"
                                           "(exit status 1)\""),
              std::string::npos)
        << rejected.standardOutput;
    for (const fs::directory_entry& entry : fs::directory_iterator(w)) {
        EXPECT_FALSE(entry.path().filename().string().starts_with("veltomarn-self-test-"));
    }
    const ProgramRun late = verify("", w / "late", "--quiet");
    EXPECT_EQ(late.exitCode, 1);
    EXPECT_NE(late.standardError.find("FILE_SIZE_MISMATCH: " + (w / "late" / kBootstrap).string() +
                                      "\nhint: VeltoMarnLauncher.exe carries an Authenticode "
                                      "signature that its inventory row does not cover"),
              std::string::npos)
        << late.standardError;
    // Without Wine: said so, before any check.
    const ProgramRun noWine = run({"env", "PATH=/nonexistent", VELTOMARN_RELEASE_TOOL, "verify",
                                   "--public-key", "-", "--no-payload", "--self-test", "-"});
    EXPECT_EQ(noWine.exitCode, 2);
    EXPECT_NE(noWine.standardError.find("Wine is not installed"), std::string::npos);
}

}  // namespace
}  // namespace veltomarn::test
