#include "support/host_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace veltomarn::test {

namespace fs = std::filesystem;

TemporaryDirectory::TemporaryDirectory()
    : path([] {
          std::string pattern = (fs::temp_directory_path() / "veltomarn-test-XXXXXX").string();
          if (mkdtemp(pattern.data()) == nullptr)
              throw std::system_error(errno, std::generic_category());
          return fs::canonical(pattern);
      }()) {}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes)) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::map<std::string, std::string> Snapshot(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        const std::string bytes = entry.is_regular_file() ? ReadFile(entry.path()) : "";
        const auto mode = static_cast<unsigned>(entry.symlink_status().permissions());
        tree[fs::relative(entry.path(), root).string()] =
            (entry.is_symlink()     ? "link"
             : entry.is_directory() ? "directory"
                                    : std::to_string(bytes.size()) + " bytes, hash " +
                                          std::to_string(std::hash<std::string>{}(bytes))) +
            ", mode " + std::to_string(mode);
    }
    return tree;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ProgramRun RunProgram(std::vector<std::string> argv, const std::filesystem::path& directory,
                      std::chrono::milliseconds timeout) {
    const std::filesystem::path out = directory / "stdout", err = directory / "stderr";
    std::vector<char*> words;
    for (std::string& word : argv) words.push_back(word.data());
    words.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, words[0], &actions, nullptr, words.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::system_error(error, std::generic_category(), argv[0]);

    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid) break;
        if (ended < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category());
        if (std::chrono::steady_clock::now() > deadline) kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
}

}  // namespace veltomarn::test
