#include "release/wine_self_test.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <vector>

#include "release/path_text.h"
#include "release/posix_files.h"
#include "release/tool_error.h"

extern char** environ;

namespace veltomarn::release {
namespace {

constexpr char kPassedLine[] = "SEALED_SELF_TEST_OK ";
constexpr uint64_t kMaxOutputBytes = 1048576;

// The executable file `name` in the first directory of PATH that holds one, or "".
std::string FindOnPath(const std::string& name) {
    const char* variable = std::getenv("PATH");
    const std::string path = variable != nullptr ? variable : "";
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string directory = path.substr(start, end - start);
        const std::string candidate = JoinPath(directory.empty() ? "." : directory, name);
        struct stat status;
        if (stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return "";
}

// Starts `argv` in `directory`, standard input from /dev/null and the two output streams into
// the files `output` + ".out" and ".err" there ("": discarded). Files, never pipes: Wine's helper
// processes inherit the streams and outlive the program, and a pipe would never end.
pid_t Start(std::vector<std::string> argv, const std::vector<std::string>& environment,
            const std::string& directory, const std::string& output) {
    std::vector<char*> words, variables;
    for (std::string& word : argv) words.push_back(word.data());
    words.push_back(nullptr);
    for (const std::string& entry : environment) {
        variables.push_back(const_cast<char*>(entry.c_str()));
    }
    variables.push_back(nullptr);
    const std::string out = output.empty() ? "/dev/null" : JoinPath(directory, output + ".out");
    const std::string err = output.empty() ? "/dev/null" : JoinPath(directory, output + ".err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    pid_t pid = -1;
    const int error =
        posix_spawn(&pid, words[0], &actions, nullptr, words.data(), variables.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) RefuseSystem("cannot start", argv[0], error);
    return pid;
}

// The exit status of `pid` once it has ended (-1: ended by a signal). kEnd: a SIGINT or SIGTERM
// of the tool kills it and ends the command; kFinish: the wait goes on (clean-up).
enum class OnInterruption { kEnd, kFinish };
int Await(pid_t pid, OnInterruption onInterruption) {
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (ended < 0 && errno != EINTR) RefuseSystem("cannot wait for", "wine", errno);
        if (onInterruption == OnInterruption::kEnd) {
            try {
                ThrowIfInterrupted();
            } catch (const ToolError&) {
                kill(pid, SIGKILL);
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
                throw;
            }
        }
        usleep(20000);
    }
}

// The directory of one self-test, which holds its Wine prefix and the captured output. Going
// away, it kills the prefix's wineserver with every process of the prefix, waits until the server
// has gone, and removes the directory.
class ScratchPrefix {
  public:
    explicit ScratchPrefix(const WinePrograms& wine) : wine_(wine) {
        const char* temporary = std::getenv("TMPDIR");
        std::string pattern =
            JoinPath(temporary != nullptr && *temporary != '\0' ? temporary : "/tmp",
                     "veltomarn-self-test-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            RefuseSystem("cannot create a directory", pattern, errno);
        }
        directory_ = pattern;
        // Wine as a fresh prefix sees it: nothing of the caller's Wine settings or display.
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string_view text(*entry);
            if (!text.starts_with("WINE") && !text.starts_with("DISPLAY=") &&
                !text.starts_with("WAYLAND_DISPLAY=")) {
                environment_.emplace_back(text);
            }
        }
        environment_.insert(environment_.end(),
                            {"WINEPREFIX=" + JoinPath(directory_, "prefix"), "WINEDEBUG=-all",
                             "WINEDLLOVERRIDES=mscoree,mshtml="});
    }
    ScratchPrefix(const ScratchPrefix&) = delete;
    ScratchPrefix& operator=(const ScratchPrefix&) = delete;
    ~ScratchPrefix() {
        for (const char* option : {"-k", "-w"}) {
            try {
                Await(Start({wine_.wineserver, option}, environment_, directory_, ""),
                      OnInterruption::kFinish);
            } catch (const ToolError&) {
            }
        }
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    const std::string& directory() const { return directory_; }
    const std::vector<std::string>& environment() const { return environment_; }

  private:
    const WinePrograms wine_;
    std::string directory_;
    std::vector<std::string> environment_;
};

// The captured stream `name` without its final line end.
std::string Captured(const ScratchPrefix& scratch, const std::string& name) {
    const std::vector<uint8_t> bytes =
        ReadWholeFile(JoinPath(scratch.directory(), name), kMaxOutputBytes, false);
    std::string text(bytes.begin(), bytes.end());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

WinePrograms FindWine() {
    WinePrograms wine{FindOnPath("wine"), FindOnPath("wineserver")};
    if (wine.wine.empty() || wine.wineserver.empty()) {
        Refuse(
            "--self-test runs the package's bootstrap under Wine, and Wine is not installed "
            "(wine and wineserver are not on PATH)");
    }
    return wine;
}

SelfTestRun RunSelfTest(const WinePrograms& wine, const std::string& bootstrap) {
    const ScratchPrefix scratch(wine);
    Await(Start({wine.wine, "wineboot", "--init"}, scratch.environment(), scratch.directory(), ""),
          OnInterruption::kEnd);
    const int status = Await(Start({wine.wine, bootstrap, "--self-test"}, scratch.environment(),
                                   scratch.directory(), "bootstrap"),
                             OnInterruption::kEnd);
    const std::string out = Captured(scratch, "bootstrap.out");
    const std::string err = Captured(scratch, "bootstrap.err");
    SelfTestRun run;
    run.passed = status == 0 && out.starts_with(kPassedLine) && out.find('\n') == std::string::npos;
    if (run.passed) {
        run.line = out;
        return run;
    }
    run.line = !err.empty() ? err : !out.empty() ? out : "nothing printed";
    run.line +=
        status < 0 ? " (ended by a signal)" : " (exit status " + std::to_string(status) + ")";
    return run;
}

}  // namespace veltomarn::release
