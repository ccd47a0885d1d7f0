#include "tools/tool_test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "release/payload_seal.h"
#include "release/release_keys.h"

extern char** environ;

namespace veltomarn::testing {
namespace {

namespace fs = std::filesystem;

std::string Permissions(const fs::path& path) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) throw std::runtime_error("lstat " + path.string());
    std::ostringstream text;
    text << std::oct << (status.st_mode & 07777) << " links=" << std::dec << status.st_nlink;
    return text.str();
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/veltomarn-tool-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = fs::canonical(pattern).string();
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    // Directories a test made unreadable are opened again first.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    fs::remove_all(path_, ignored);
}

void MakeDirectories(const std::string& path) {
    fs::create_directories(path);
}

void WriteTextFile(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
    if (!file) throw std::runtime_error("cannot write " + path);
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

TreeSnapshot Snapshot(const std::string& root) {
    TreeSnapshot snapshot;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        const std::string relative = fs::relative(entry.path(), root).string();
        const fs::file_status status = entry.symlink_status();
        std::string description = Permissions(entry.path()) + " ";
        if (fs::is_symlink(status)) {
            description += "link->" + fs::read_symlink(entry.path()).string();
        } else if (fs::is_directory(status)) {
            description += "directory";
        } else if (fs::is_regular_file(status)) {
            // A huge (sparse) file is told by its size and time; the rest byte for byte.
            const uintmax_t size = fs::file_size(entry.path());
            description +=
                size > 1048576
                    ? "large file of " + std::to_string(size) + " bytes, written " +
                          std::to_string(
                              fs::last_write_time(entry.path()).time_since_epoch().count())
                    : "file:" + ReadTextFile(entry.path());
        } else {
            description += "other";
        }
        snapshot.emplace(relative, description);
    }
    return snapshot;
}

void WriteInnerDirectory(const std::string& root) {
    WriteTextFile(root + "/VeltoMarnLauncher.exe", "MZ inner launcher bytes");
    WriteTextFile(root + "/RELEASE.signed", "the inner launcher's own inventory\n");
    WriteTextFile(root + "/RELEASE.sig", std::string(384, '\x5a'));
    WriteTextFile(root + "/config/launcher.json", "{\"inner\": true}\n");
}

void SealWithBuildKey(const std::string& inner, const std::string& output) {
    release::SealPayload(inner, output, release::LoadPayloadKey(BuildKeySharesPath()), nullptr);
}

void WriteMinimalPackage(const std::string& root) {
    WriteTextFile(root + "/VeltoMarnLauncher.exe", "MZ bootstrap bytes");
    {
        ScratchDirectory inner;
        WriteInnerDirectory(inner.path());
        MakeDirectories(root);
        SealWithBuildKey(inner.path(), root + "/VeltoMarn.payload");
    }
    WriteTextFile(root + "/package/release.json", "{\"release\": 1}\n");
    WriteTextFile(root + "/data/levels/level-1.bin", std::string(1000, '\x7f'));
}

int RunProgram(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int spawned =
        posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot run " + program);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ToolRun RunReleaseTool(const std::vector<std::string>& arguments, uint64_t dataLimitBytes) {
    ScratchDirectory capture;
    const std::string outPath = capture / "out";
    const std::string errPath = capture / "err";
    std::vector<std::string> all{VELTOMARN_RELEASE_TOOL};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    if (dataLimitBytes == 0) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int spawned =
            posix_spawn(&child, VELTOMARN_RELEASE_TOOL, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) throw std::runtime_error("cannot run " VELTOMARN_RELEASE_TOOL);
    } else {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        child = fork();
        if (child < 0) throw std::runtime_error("cannot fork");
        if (child == 0) {
            const rlimit limit{dataLimitBytes, dataLimitBytes};
            if (setrlimit(RLIMIT_DATA, &limit) != 0 || dup2(out, STDOUT_FILENO) < 0 ||
                dup2(err, STDERR_FILENO) < 0) {
                _exit(126);
            }
            execv(VELTOMARN_RELEASE_TOOL, argv.data());
            _exit(127);
        }
        close(out);
        close(err);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ToolRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadTextFile(outPath);
    run.err = ReadTextFile(errPath);
    return run;
}

std::string TestPrivateKeyPath() {
    return VELTOMARN_TEST_KEYS_DIR "/release-signing-TEST-ONLY.key.pem";
}

std::string TestPublicKeyPath() {
    return VELTOMARN_TEST_KEYS_DIR "/release-signing-TEST-ONLY.pub.pem";
}

std::string BuildKeySharesPath() {
    return VELTOMARN_BUILD_KEY_SHARES;
}

}  // namespace veltomarn::testing
