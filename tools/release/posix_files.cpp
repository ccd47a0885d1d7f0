#include "release/posix_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "release/path_text.h"
#include "release/secret_memory.h"
#include "release/tool_error.h"

namespace veltomarn::release {

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

Descriptor::~Descriptor() {
    if (fd_ >= 0) close(fd_);
}

void Descriptor::Close(const std::string& path) {
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) RefuseSystem("cannot write", path, errno);
}

std::size_t ReadUpTo(int fd, uint8_t* buffer, std::size_t size, const std::string& path) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t count = read(fd, buffer + done, size - done);
        if (count < 0) {
            if (errno == EINTR) continue;
            RefuseSystem("cannot read", path, errno);
        }
        if (count == 0) break;
        done += static_cast<std::size_t>(count);
    }
    return done;
}

void WriteFully(int fd, const uint8_t* data, std::size_t size, const std::string& path) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t count = write(fd, data + done, size - done);
        if (count < 0) {
            if (errno == EINTR) continue;
            RefuseSystem("cannot write", path, errno);
        }
        done += static_cast<std::size_t>(count);
    }
}

std::vector<uint8_t> ReadWholeFile(const std::string& path, uint64_t limit, bool followLinks) {
    const Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
                                                 (followLinks ? 0 : O_NOFOLLOW)));
    if (file.get() < 0) {
        if (errno == ELOOP) Refuse(ShowPath(path) + ": is a symbolic link");
        RefuseSystem("cannot open", path, errno);
    }
    struct stat status;
    if (fstat(file.get(), &status) != 0) RefuseSystem("cannot inspect", path, errno);
    if (!S_ISREG(status.st_mode)) Refuse(ShowPath(path) + ": not a plain file");
    const auto size = static_cast<uint64_t>(status.st_size);
    if (size > limit) Refuse(ShowPath(path) + ": larger than " + std::to_string(limit) + " bytes");
    // One buffer, never reallocated, wiped on failure: no copy of a secret is left behind. One
    // byte more than expected is asked for, so that a file that grew is noticed.
    std::vector<uint8_t> bytes(static_cast<std::size_t>(size) + 1);
    std::size_t read = 0;
    try {
        read = ReadUpTo(file.get(), bytes.data(), bytes.size(), path);
    } catch (...) {
        Wipe(bytes);
        throw;
    }
    if (read != size) {
        Wipe(bytes);
        Refuse(ShowPath(path) + ": changed while it was read");
    }
    bytes.resize(read);
    return bytes;
}

void WriteNewFile(const std::string& path, const std::vector<uint8_t>& bytes, unsigned mode) {
    Descriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.get() < 0) RefuseSystem("cannot create", path, errno);
    try {
        if (fchmod(file.get(), static_cast<mode_t>(mode)) != 0) {
            RefuseSystem("cannot set the permissions of", path, errno);
        }
        WriteFully(file.get(), bytes.data(), bytes.size(), path);
        if (fsync(file.get()) != 0) RefuseSystem("cannot flush", path, errno);
        file.Close(path);
    } catch (...) {
        unlink(path.c_str());
        throw;
    }
}

void SyncDirectory(const std::string& directory) {
    const Descriptor fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) RefuseSystem("cannot open", directory, errno);
    if (fsync(fd.get()) != 0) RefuseSystem("cannot flush", directory, errno);
}

}  // namespace veltomarn::release
