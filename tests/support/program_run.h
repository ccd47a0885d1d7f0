#pragma once

// Runs a program from a host test (Wine, the release tool) and captures its standard output and
// standard error through files, never pipes: Wine's helper processes inherit the standard handles
// and can outlive the program, and a pipe would keep its reader waiting for them.

#include <chrono>
#include <filesystem>
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

// Every byte of the file; "" when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// Runs `argv` (argv[0] found on PATH) in `directory`, standard input on /dev/null and the two
// streams captured in the files "stdout" and "stderr" there. A run still going after `timeout` is
// killed. Throws std::system_error when the program cannot be started.
ProgramRun RunProgram(std::vector<std::string> argv, const std::filesystem::path& directory,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace veltomarn::test
