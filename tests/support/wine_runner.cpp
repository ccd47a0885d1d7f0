#include "support/wine_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace veltomarn::testing {
namespace {

constexpr char kBuildDirVariable[] = "VELTOMARN_WINDOWS_BUILD_DIR";
// How often a run without output is checked for having ended.
constexpr int kExitPollMilliseconds = 25;

[[noreturn]] void ThrowSystemError(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Owns one file descriptor.
class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    Descriptor read;
    Descriptor write;
};

void OpenPipe(Pipe& pipe) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) ThrowSystemError("pipe2");
    pipe.read.reset(fds[0]);
    pipe.write.reset(fds[1]);
    if (::fcntl(pipe.read.get(), F_SETFL, O_NONBLOCK) != 0) ThrowSystemError("fcntl");
}

// Owns the file actions of a spawn.
class SpawnActions {
  public:
    SpawnActions() {
        if (const int error = ::posix_spawn_file_actions_init(&actions_); error != 0) {
            throw std::system_error(error, std::generic_category(),
                                    "posix_spawn_file_actions_init");
        }
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }

    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

// Appends everything that can be read from `fd` now. Returns false at end of file.
bool ReadAvailable(int fd, std::string& into) {
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            into.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0) {
            return false;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return true;
        } else {
            ThrowSystemError("read");
        }
    }
}

void ReadAvailable(Descriptor& fd, std::string& into) {
    if (fd.valid() && !ReadAvailable(fd.get(), into)) fd.reset();
}

// Waits for `pid` without giving up on EINTR. Returns true once it has ended.
bool Reap(pid_t pid, int& status, bool block) {
    for (;;) {
        const pid_t result = ::waitpid(pid, &status, block ? 0 : WNOHANG);
        if (result == pid) return true;
        if (result == 0) return false;
        if (errno != EINTR) ThrowSystemError("waitpid");
    }
}

std::string Escaped(const std::string& bytes) {
    std::string text = "\"";
    for (const unsigned char c : bytes) {
        if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else if (c == '"' || c == '\\') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            text += hex;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text + "\"";
}

}  // namespace

std::string Describe(const WineRun& run) {
    std::string text;
    if (run.timedOut) {
        text = "timed out and was killed";
    } else if (run.signal != 0) {
        text = "ended by signal " + std::to_string(run.signal);
    } else {
        text = "exit code " + std::to_string(run.exitCode);
    }
    return text + ", stdout " + Escaped(run.standardOutput) + ", stderr " +
           Escaped(run.standardError);
}

WineRun RunUnderWine(const std::filesystem::path& program,
                     const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) {
    std::vector<std::string> words{"wine", program.string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    Pipe out;
    Pipe err;
    OpenPipe(out);
    OpenPipe(err);

    SpawnActions actions;
    int error =
        ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (error == 0) {
        error = ::posix_spawn_file_actions_adddup2(actions.get(), out.write.get(), STDOUT_FILENO);
    }
    if (error == 0) {
        error = ::posix_spawn_file_actions_adddup2(actions.get(), err.write.get(), STDERR_FILENO);
    }
    if (error != 0) throw std::system_error(error, std::generic_category(), "spawn file actions");

    pid_t pid = -1;
    error = ::posix_spawnp(&pid, "wine", actions.get(), nullptr, argv.data(), environ);
    if (error != 0) {
        throw std::system_error(error, std::generic_category(), "starting wine from PATH");
    }
    out.write.reset();
    err.write.reset();

    WineRun run;
    int status = 0;
    bool ended = false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Once the process has ended, one last pass collects what it left in the pipes; a stream that
    // a surviving process inherited would otherwise never reach end of file.
    for (bool lastPass = false; !lastPass;) {
        lastPass = ended;
        pollfd fds[2];
        nfds_t count = 0;
        if (out.read.valid()) fds[count++] = {out.read.get(), POLLIN, 0};
        if (err.read.valid()) fds[count++] = {err.read.get(), POLLIN, 0};
        if (!lastPass && count > 0) {
            if (::poll(fds, count, kExitPollMilliseconds) < 0 && errno != EINTR) {
                ThrowSystemError("poll");
            }
        } else if (!lastPass) {
            ::usleep(kExitPollMilliseconds * 1000);
        }
        ReadAvailable(out.read, run.standardOutput);
        ReadAvailable(err.read, run.standardError);
        if (ended) continue;
        if (Reap(pid, status, false)) {
            ended = true;
        } else if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            Reap(pid, status, true);
            run.timedOut = true;
            ended = true;
        }
    }

    if (!run.timedOut && WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        run.signal = WTERMSIG(status);
    }
    return run;
}

std::filesystem::path BuiltLauncherPath() {
    const char* buildDir = std::getenv(kBuildDirVariable);
    if (buildDir == nullptr || *buildDir == '\0') {
        throw std::runtime_error(
            std::string(kBuildDirVariable) +
            " is not set: run the end-to-end tests through ctest in the host build, or set it to "
            "the Windows build directory");
    }
    const std::filesystem::path path =
        std::filesystem::path(buildDir) / "src" / "VeltoMarnLauncher.exe";
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(path, ignored)) {
        throw std::runtime_error("no built bootstrap at " + path.string() +
                                 ": build the Windows preset first");
    }
    return path;
}

LauncherCopy::LauncherCopy(const std::string& fileName) {
    if (fileName.empty() || fileName.find('/') != std::string::npos || fileName == "." ||
        fileName == "..") {
        throw std::invalid_argument("not a plain file name: \"" + fileName + "\"");
    }
    const std::filesystem::path source = BuiltLauncherPath();
    std::string pattern =
        (std::filesystem::temp_directory_path() / "veltomarn-e2e-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) ThrowSystemError("mkdtemp");
    directory_ = pattern;
    path_ = directory_ / fileName;
    try {
        std::filesystem::copy_file(source, path_);
    } catch (const std::exception& error) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
        throw std::runtime_error("cannot copy the built bootstrap to " + path_.string() + ": " +
                                 error.what());
    }
}

LauncherCopy::~LauncherCopy() {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

}  // namespace veltomarn::testing
