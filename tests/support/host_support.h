#pragma once

// What the host tests share: scratch directories, whole-file reads and writes, a snapshot of a
// tree, and running a program (Wine, the release tool) with its output captured through files,
// never pipes: Wine's helper processes inherit the standard handles and can outlive the program,
// and a pipe would keep its reader waiting for them.

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace veltomarn::test {

struct ProgramRun {
    // 0..255 (a Windows exit code reaches Linux cut to 8 bits); -1 when killed by a signal or
    // when it outlived the timeout.
    int exitCode = -1;
    std::string standardOutput;
    std::string standardError;
};

// A new directory below the system's temporary directory, removed with everything in it.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    ~TemporaryDirectory();

    const std::filesystem::path path;
};

// Every byte of the file; "" when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);
// Creates the file's directories, then the file with exactly `bytes`. Throws when it cannot.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
// Every entry below `root`, links not followed: relative path -> "directory", "link" or the
// size and a hash of the bytes, and the permission bits.
std::map<std::string, std::string> Snapshot(const std::filesystem::path& root);

// Runs `argv` (argv[0] found on PATH) in `directory`, standard input on /dev/null and the two
// streams captured in the files "stdout" and "stderr" there. A run still going after `timeout` is
// killed. Throws std::system_error when the program cannot be started.
ProgramRun RunProgram(std::vector<std::string> argv, const std::filesystem::path& directory,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace veltomarn::test
