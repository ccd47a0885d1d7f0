// The private cache on the real Win32 platform (its root and access control are the end-to-end
// tests'): opening a session (lock, payload directory, recovery and cleanup of stale sessions,
// space), and a sweep that fails every call of a session's opening, journal and cleanup in turn.

#include <functional>
#include <map>
#include <set>

#include "cache/cleanup.h"
#include "cache/session.h"
#include "payload/unseal.h"
#include "win32/win32_test_support.h"

namespace veltomarn::test {
namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;

// Every entry below `root` (a directory ends in '/') with a digest of its contents.
Tree TreeBelow(const WideString& root) {
    Tree tree;
    if (!fs::is_directory(fs::path(root))) return tree;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(root))) {
        const std::string name = entry.path().lexically_relative(fs::path(root)).generic_string();
        tree[entry.is_directory() ? name + "/" : name] =
            entry.is_directory() ? "" : std::to_string(std::hash<std::string>()(ReadAll(entry)));
    }
    return tree;
}

constexpr uint32_t kReparse = win::kFileAttributeReparsePoint;

void Touch(const WideString& path) {
    std::ofstream(fs::path(path), std::ios::app) << 'x';
}

// A cache root in scratch after one complete session: root, lock and payload directory exist.
struct CacheRun {
    explicit CacheRun(const std::string& name) : scratch(name), platform(real) {
        fs::create_directories(fs::path(root));
        CleanupSession(real, Leave(true, false), index);
        for (const auto& entry : TreeBelow(root)) {
            if (entry.first.ends_with("/") && entry.first.starts_with("payload-")) {
                payload = entry.first.substr(0, entry.first.size() - 1);
            }
        }
    }
    // A copy of another run's cache, made by copying its files rather than by opening sessions.
    CacheRun(const std::string& name, const CacheRun& from)
        : scratch(name), platform(real), payload(from.payload), stale(from.stale) {
        fs::copy(fs::path(from.root), fs::path(root), fs::copy_options::recursive);
    }

    // A session as a run that died leaves it; `stale` names it below the cache root.
    WideString Leave(bool ownerRecord, bool unsealed) {
        Session session = OpenSession(real, root, security, index);
        if (ownerRecord) WriteOwnerRecord(real, session, security, index);
        if (unsealed) {
            GuardedDirectory package(real, FixturePath("package"), StreamCheck::kEverything);
            const Handle file = package.OpenFile("VeltoMarn.payload", 1u << 30);
            ReadPayloadIndex(real, file);
            GuardedDirectory target(real, session.sessionDirectory, StreamCheck::kEverything);
            SecureBuffer key(real, kPayloadKeyBytes);
            CompiledInPayloadKey(key);
            UnsealPayload(real, real, file, index, key, UnsealTarget::Into(target, nullptr));
        }
        stale = payload + "/" + session.sessionName;
        return session.sessionDirectory;
    }
    // `relative` ('/'-separated) below the cache root.
    WideString At(std::string relative) const {
        WideString path = relative.empty() ? root : root + u"\\" + Wide(relative);
        std::replace(path.begin(), path.end(), u'/', u'\\');
        return path;
    }
    WideString StaleOwnerRecord() const {
        return At(payload + "/.owner-" + stale.substr(stale.rfind("session-") + 8));
    }
    // A file in place of a directory or the other way round.
    void Replace(const std::string& relative, bool directory) {
        fs::remove_all(fs::path(At(relative)));
        if (directory) fs::create_directory(fs::path(At(relative)));
        if (!directory) Touch(At(relative));
    }
    void Holds(const std::string& relative, uint32_t share) {
        held = ScopedHandle(
            real, real.CreateFileW(LocalLongPath(At(relative)).c_str(), win::kGenericRead, share,
                                   nullptr, win::kOpenExisting, 0, nullptr));
    }

    Scratch scratch;
    const WideString root = scratch.At("cache");
    Win32Platform real;
    FaultPlatform platform;
    const CacheSecurity security = BuildCacheSecurity(real);
    const PayloadIndex index = [&] {
        GuardedDirectory package(real, FixturePath("package"), StreamCheck::kEverything);
        return ReadPayloadIndex(real, package.OpenFile("VeltoMarn.payload", 1u << 30));
    }();
    std::string payload;  // "payload-<id>"
    std::string stale;
    ScopedHandle held;  // a handle another process would hold
};

struct OpenCase {
    std::string name;
    std::function<void(CacheRun&)> arrange;
    std::string code;    // "": opened, and only the new session is left in the payload directory
    bool stale = false;  // a session owned and unsealed is left before `arrange`
};

const OpenCase kOpenCases[] = {
    {"second_start", [](CacheRun&) {}, ""},
    {"lock_held_by_another_run", [](CacheRun& r) { r.Holds("active.lock", 0); },
     "LAUNCHER_SESSION_ALREADY_OPEN"},
    {"lock_is_a_directory", [](CacheRun& r) { r.Replace("active.lock", true); }, "CACHE_LOCK_OPEN"},
    {"lock_hard_linked", [](CacheRun& r) { r.platform.linkCounts[r.At("active.lock")] = 2; },
     "CACHE_LOCK_TYPE"},
    {"file_in_place_of_payload_directory", [](CacheRun& r) { r.Replace(r.payload, false); },
     "DIRECTORY_TYPE"},
    {"file_in_place_of_cache_root", [](CacheRun& r) { r.Replace("", false); }, "DIRECTORY_TYPE"},
    {"space_exactly_enough",
     [](CacheRun& r) { r.platform.freeBytes = r.index.plaintextBytes + 67108864; }, ""},
    {"space_one_byte_short",
     [](CacheRun& r) { r.platform.freeBytes = r.index.plaintextBytes + 67108863; }, "CACHE_SPACE"},
    {"stale_sessions_recovered", [](CacheRun& r) { r.Leave(true, false); }, "", true},
    {"partly_unsealed_session_recovered",
     [](CacheRun& r) {
         fs::remove_all(fs::path(r.At(r.stale + "/assets/nested")));
         Touch(r.At(r.stale + "/zone.bin.sealed-partial"));
     },
     "", true},
    {"empty_session_without_owner_record_removed", [](CacheRun& r) { r.Leave(false, false); }, ""},
    {"session_without_owner_record_kept", [](CacheRun& r) { r.Leave(false, true); }, "FILE_OPEN"},
    {"session_of_another_payload_kept", [](CacheRun& r) { Touch(r.StaleOwnerRecord()); },
     "CACHE_OWNER_MISMATCH", true},
    {"extra_file_in_session", [](CacheRun& r) { Touch(r.At(r.stale + "/notes.txt")); },
     "CACHE_UNEXPECTED_DATA", true},
    {"reparse_point_in_session",
     [](CacheRun& r) { r.platform.extraAttributes[r.At(r.stale + "/assets")] = kReparse; },
     "CACHE_UNEXPECTED_DATA", true},
    {"hard_link_in_session",
     [](CacheRun& r) { r.platform.linkCounts[r.At(r.stale + "/zone.bin")] = 2; },
     "CACHE_CLEANUP_LINK", true},
    {"stream_in_session",
     [](CacheRun& r) { r.platform.extraStreams[r.At(r.stale + "/zone.bin")] = u":x:$DATA"; },
     "UNEXPECTED_STREAM", true},
    {"file_in_session_held_open", [](CacheRun& r) { r.Holds(r.stale + "/zone.bin", 1); },
     "CACHE_CLEANUP_BUSY", true},
    {"upper_case_session_name",
     [](CacheRun& r) {
         fs::create_directory(fs::path(r.At(r.payload + "/session-" + std::string(32, 'A'))));
     },
     "CACHE_RECOVERY_OBJECT"},
    {"file_named_like_a_session",
     [](CacheRun& r) { Touch(r.At(r.payload + "/session-" + std::string(32, '0'))); },
     "CACHE_RECOVERY_OBJECT"},
    {"session_name_one_short",
     [](CacheRun& r) {
         fs::create_directory(fs::path(r.At(r.payload + "/session-" + std::string(31, '0'))));
     },
     "CACHE_RECOVERY_OBJECT"},
    {"other_payload_untouched",
     [](CacheRun& r) {
         fs::create_directories(fs::path(r.At("payload-0/session-" + std::string(32, '0'))));
     },
     ""},
};

class OpenSessionTest : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenSessionTest, OpensOrChangesNothing) {
    CacheRun run("open");
    if (GetParam().stale) run.Leave(true, true);
    GetParam().arrange(run);
    const Tree before = TreeBelow(run.root);
    // Opened: every earlier session of this payload is gone, with its owner record; the new one
    // is empty.
    Tree expected;
    for (const auto& entry : before) {
        if (!entry.first.starts_with(run.payload + "/") || entry.first == run.payload + "/")
            expected.insert(entry);
    }
    EXPECT_EQ(FailureCode([&] {
                  Session session = OpenSession(run.platform, run.root, run.security, run.index);
                  expected[run.payload + "/" + session.sessionName + "/"] = "";
              }),
              GetParam().code);
    run.held.reset();
    ExpectTidy(run.platform);
    EXPECT_EQ(TreeBelow(run.root), GetParam().code.empty() ? expected : before);
}

INSTANTIATE_TEST_SUITE_P(Win32, OpenSessionTest, ::testing::ValuesIn(kOpenCases),
                         CaseName<OpenCase>);

// A start of the next release recovers the last one's stale session only where its owner record
// proves it belongs to its payload directory, never stops for it, and leaves that directory.
TEST(OtherReleaseTest, RecoversOnlyProvenSessionsAndNeverStops) {
    for (const bool proven : {true, false}) {
        CacheRun run("other-release");
        run.Leave(true, true);
        if (!proven) Touch(run.StaleOwnerRecord());
        PayloadIndex next = run.index;
        next.indexBytes.push_back(0);
        const Tree before = TreeBelow(run.At(run.payload));
        EXPECT_EQ(FailureCode([&] { OpenSession(run.platform, run.root, run.security, next); }),
                  "");
        EXPECT_EQ(TreeBelow(run.At(run.payload)), proven ? Tree{} : before) << proven;
        EXPECT_TRUE(fs::is_directory(fs::path(run.At(run.payload))));
        ExpectTidy(run.platform);
    }
}

// A start that finds a stale session, and its own session's journal and cleanup: the calls a
// run makes in the cache.
std::string StartAndEnd(CacheRun& run) {
    return FailureCode([&] {
        Session session = OpenSession(run.platform, run.root, run.security, run.index);
        try {
            WriteOwnerRecord(run.platform, session, run.security, run.index);
            CleanupSession(run.platform, session.sessionDirectory, run.index);
        } catch (const Failure&) {
            TidyFailedSession(run.platform, session, run.index);
            throw;
        }
    });
}

TEST(CacheSweepTest, EveryFailedCallFailsTheRunAndLeavesTheCacheRecoverable) {
    CacheRun stale("sweep-stale");
    stale.Leave(true, true);
    // Closing, and a comparison that then counts as "check more", cannot fail a run: every call of
    // one of them failed, the run completes.
    const std::set<Call> harmless = {Call::kCloseHandle, Call::kFindClose,
                                     Call::kCompareStringOrdinal,
                                     Call::kBCryptCloseAlgorithmProvider, Call::kBCryptDestroyHash};
    CacheRun reference("sweep-reference", stale);
    ASSERT_EQ(StartAndEnd(reference), "");
    FailEachCall(reference.platform, harmless, [&](Call member, int nth, uint32_t error) {
        CacheRun run("sweep", stale);
        const Tree before = TreeBelow(run.root);
        run.platform.Fail(member, nth, error);
        EXPECT_EQ(StartAndEnd(run).empty(), harmless.count(member) != 0);
        ExpectTidy(run.platform);
        // Nothing is deleted before every file to delete has been inspected.
        const Tree after = TreeBelow(run.root);
        if (run.platform.calls[Call::kSetFileInformationByHandle] == 0) {
            EXPECT_TRUE(std::includes(after.begin(), after.end(), before.begin(), before.end()));
        }
        // The next start recovers whatever this one left and opens its own session alone.
        FaultPlatform next(run.real);
        EXPECT_EQ(FailureCode([&] { OpenSession(next, run.root, run.security, run.index); }), "");
        const Tree left = TreeBelow(run.At(run.payload));
        EXPECT_EQ(std::count_if(left.begin(), left.end(),
                                [](const auto& e) { return e.first.starts_with("session-"); }),
                  1);
    });
}

}  // namespace
}  // namespace veltomarn::test
