#include "release/tool_support.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace veltomarn::release {
namespace {

volatile sig_atomic_t interruption = 0;

extern "C" void RecordInterruption(int signal) {
    interruption = signal;
}

}  // namespace

void Problems::Add(const std::string& relative, const std::string& why) {
    lines_.push_back(ShowPath(JoinPath(root_, relative)) + ": " + why);
}

void Problems::RefuseIfAny() const {
    if (lines_.empty()) return;
    std::string text = lines_.front();
    if (lines_.size() > 1) {
        text = std::to_string(lines_.size()) + " problems; nothing was written";
        for (const std::string& line : lines_) text += "\n  " + line;
    }
    Refuse(text);
}

void CatchInterruptions() {
    struct sigaction action {};
    action.sa_handler = RecordInterruption;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void ThrowIfInterrupted() {
    const int signal = interruption;
    if (signal == 0) return;
    throw ToolError(128 + signal, std::string("interrupted by ") +
                                      (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                                      "; what this run made is removed again");
}

void Refuse(const std::string& message) {
    throw ToolError(kExitUsageOrIo, message);
}

void RefuseSystem(const std::string& what, const std::string& path, int error) {
    Refuse(ShowPath(path) + ": " + what + ": " + std::strerror(error));
}

std::string ShowPath(const std::string& path) {
    std::string shown;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte <= 0x7E && byte != '\\') {
            shown.push_back(c);
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        shown += escaped;
    }
    return shown;
}

std::string JoinPath(const std::string& directory, const std::string& name) {
    if (directory.empty()) return name;
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

std::string RealDirectory(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) RefuseSystem("cannot resolve the directory", path, errno);
    const std::string real = resolved;
    std::free(resolved);
    struct stat status;
    if (stat(real.c_str(), &status) != 0) RefuseSystem("cannot inspect", real, errno);
    if (!S_ISDIR(status.st_mode)) Refuse(ShowPath(path) + ": not a directory");
    return real;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path, uint64_t limit, bool followLinks) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
                                          (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        if (errno == ELOOP) Refuse(ShowPath(path) + ": is a symbolic link");
        RefuseSystem("cannot open", path, errno);
    }
    std::vector<uint8_t> bytes;
    struct stat status;
    int error = 0;
    std::string problem;
    if (fstat(fd, &status) != 0) {
        error = errno;
    } else if (!S_ISREG(status.st_mode)) {
        problem = "not a plain file";
    } else if (static_cast<uint64_t>(status.st_size) > limit) {
        problem = "larger than " + std::to_string(limit) + " bytes";
    } else {
        // Never reallocated while read, so that no copy of a secret is left behind.
        bytes.reserve(static_cast<std::size_t>(status.st_size) + 1);
        bytes.resize(static_cast<std::size_t>(status.st_size));
        std::size_t done = 0;
        while (error == 0) {
            // One byte more than expected is asked for, so that a file that grew is noticed.
            if (done == bytes.size()) bytes.resize(done + 1);
            const ssize_t count = read(fd, bytes.data() + done, bytes.size() - done);
            if (count < 0) {
                if (errno != EINTR) error = errno;
                continue;
            }
            if (count == 0) break;
            done += static_cast<std::size_t>(count);
            if (done > limit) {
                problem = "larger than " + std::to_string(limit) + " bytes";
                break;
            }
        }
        bytes.resize(done);
    }
    close(fd);
    if (error != 0) RefuseSystem("cannot read", path, error);
    if (!problem.empty()) Refuse(ShowPath(path) + ": " + problem);
    return bytes;
}

void WriteNewFile(const std::string& path, const std::vector<uint8_t>& bytes, unsigned mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) RefuseSystem("cannot create", path, errno);
    int error = 0;
    if (fchmod(fd, static_cast<mode_t>(mode)) != 0) error = errno;
    std::size_t done = 0;
    while (error == 0 && done < bytes.size()) {
        const ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
        if (count < 0) {
            if (errno != EINTR) error = errno;
            continue;
        }
        done += static_cast<std::size_t>(count);
    }
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error != 0) {
        unlink(path.c_str());
        RefuseSystem("cannot write", path, error);
    }
}

void SyncDirectory(const std::string& directory) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) RefuseSystem("cannot open", directory, errno);
    const int result = fsync(fd);
    const int error = errno;
    close(fd);
    if (result != 0) RefuseSystem("cannot flush", directory, error);
}

void Wipe(std::string& bytes) {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

void Wipe(std::vector<uint8_t>& bytes) {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

}  // namespace veltomarn::release
