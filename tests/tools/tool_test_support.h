#pragma once

// Scratch directories on the real file system, snapshots of them, and runs of the release tool
// binary, for the tests of the publisher's side.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace veltomarn::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything below it at destruction.
class ScratchDirectory {
  public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    // The absolute path, without links and without a trailing '/'.
    const std::string& path() const { return path_; }
    // path() + '/' + relative.
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
};

// Writes `bytes` to `path`, creating missing parent directories.
void WriteTextFile(const std::string& path, const std::string& bytes);
std::string ReadTextFile(const std::string& path);
void MakeDirectories(const std::string& path);

// Every entry below `root` (links not followed): relative path -> kind, permission bits and
// contents (a link's target). Equal snapshots mean a byte-for-byte equal tree.
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot Snapshot(const std::string& root);

// Writes a directory that `seal` accepts: the inner launcher "VeltoMarnLauncher.exe", its
// "RELEASE.signed" and "RELEASE.sig" (stand-ins: nothing checks their contents) and a nested file.
void WriteInnerDirectory(const std::string& root);

// Seals directory `inner` into the payload file `output` with the build's payload key, in this
// process (release::SealPayload). Throws what SealPayload throws.
void SealWithBuildKey(const std::string& inner, const std::string& output);

// Writes a package that `sign` accepts and whose payload `verify` unseals: the bootstrap
// stand-in, a payload sealed from WriteInnerDirectory with the build's payload key, the manifest
// and a nested data file.
void WriteMinimalPackage(const std::string& root);

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the veltomarn-release binary with `arguments` and collects its exit status and output.
// `dataLimitBytes` non-zero: the process may map at most that much private writable memory (heap
// and anonymous mappings, RLIMIT_DATA); an allocation beyond it fails.
ToolRun RunReleaseTool(const std::vector<std::string>& arguments, uint64_t dataLimitBytes = 0);

// Runs any program (path, arguments) and returns its exit status; output is discarded.
int RunProgram(const std::string& program, const std::vector<std::string>& arguments);

// The repository's test key pair.
std::string TestPrivateKeyPath();
std::string TestPublicKeyPath();
// The payload key shares this build was configured with (VELTOMARN_PAYLOAD_KEY, the repository's
// TEST-ONLY shares unless configured otherwise): the key that the unsealing code linked into the
// tool and into these tests holds.
std::string BuildKeySharesPath();

}  // namespace veltomarn::testing
