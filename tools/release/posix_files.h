#pragma once

// Files through POSIX descriptors, carefully: closes whose failure is seen, whole-file reads that
// notice a file that changed, new files that replace nothing and leave nothing behind on failure,
// and directories flushed or resolved.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltomarn::release {

// The absolute path of an existing directory with every link resolved. Throws ToolError (2).
std::string RealDirectory(const std::string& path);

// A descriptor, closed when it goes away.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor();
    int get() const { return fd_; }
    // Closes it now, so that a failed close (a write that did not reach the disk) is seen.
    // Throws ToolError (2) naming `path`.
    void Close(const std::string& path);

  private:
    int fd_;
};

// Reads up to `size` bytes, fewer only at the end of the file. Throws ToolError (2).
std::size_t ReadUpTo(int fd, uint8_t* buffer, std::size_t size, const std::string& path);

// Writes all `size` bytes. Throws ToolError (2).
void WriteFully(int fd, const uint8_t* data, std::size_t size, const std::string& path);

// The whole contents of the regular file at `path` (links followed only when `followLinks`), at
// most `limit` bytes. Throws ToolError (2) naming the path.
std::vector<uint8_t> ReadWholeFile(const std::string& path, uint64_t limit, bool followLinks);

// Creates `path` (never replacing anything: O_EXCL, no link followed) with `mode` exactly (the
// umask does not apply), writes `bytes` and flushes them to disk. On failure nothing is left at
// `path`. Throws ToolError (2).
void WriteNewFile(const std::string& path, const std::vector<uint8_t>& bytes, unsigned mode);

// Flushes a directory's entries (renames, links, removals) to disk. Throws ToolError (2).
void SyncDirectory(const std::string& directory);

}  // namespace veltomarn::release
