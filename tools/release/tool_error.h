#pragma once

// How a command of the release tool fails: its exit statuses, the error that ends it, every
// problem of a scan refused at once, and SIGINT or SIGTERM turned into that error.

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace veltomarn::release {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitVerificationFailed = 1;
inline constexpr int kExitUsageOrIo = 2;

// Ends a command: `message` (naming the path concerned) goes to standard error and `status`
// becomes the exit status. `code` and `path`: the bootstrap's failure code and the path it
// concerns, when a check of the bootstrap's ended the command.
class ToolError : public std::runtime_error {
  public:
    ToolError(int status, const std::string& message, std::string code = {}, std::string path = {})
        : std::runtime_error(message),
          status_(status),
          code_(std::move(code)),
          path_(std::move(path)) {}
    int status() const { return status_; }
    const std::string& code() const { return code_; }
    const std::string& path() const { return path_; }

  private:
    int status_;
    std::string code_;
    std::string path_;
};

// From now on SIGINT and SIGTERM end a command at its next checkpoint (ThrowIfInterrupted), so that
// its own failure paths remove what it made, and it exits with 128 + the signal (130, 143).
void CatchInterruptions();

// Throws ToolError (128 + the signal) once SIGINT or SIGTERM has arrived.
void ThrowIfInterrupted();

// Every problem a scan of directory `root` finds, refused together: a publisher fixes them all in
// one round.
class Problems {
  public:
    explicit Problems(std::string root) : root_(std::move(root)) {}
    void Add(const std::string& relative, const std::string& why);
    // Throws ToolError (2) naming every problem, one a line, when there is any.
    void RefuseIfAny() const;

  private:
    std::string root_;
    std::vector<std::string> lines_;
};

// Throws ToolError with kExitUsageOrIo.
[[noreturn]] void Refuse(const std::string& message);
// Throws ToolError with kExitUsageOrIo: `what` failed for `path`, with the system's reason.
[[noreturn]] void RefuseSystem(const std::string& what, const std::string& path, int error);

}  // namespace veltomarn::release
