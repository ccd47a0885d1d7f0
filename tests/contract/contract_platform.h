#pragma once

// The platform that the contract tests run against: the in-memory model on the host, the real
// Win32 implementation under Wine. The same tests pass on both, so the model cannot drift.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace veltomarn::testing {

std::unique_ptr<Platform> MakeContractPlatform();

// A platform with an empty scratch directory on a local drive, and the set-up that both sides
// can perform. Relative paths below are '\'-separated and relative to the scratch root. Set-up
// that fails throws std::runtime_error, which fails the test that asked for it.
class ContractWorld {
  public:
    virtual ~ContractWorld() = default;

    virtual Platform& platform() = 0;
    // The scratch directory: an absolute drive path, without "\\?\" and without a trailing '\'.
    virtual const WideString& root() const = 0;
    // True where the platform is Wine, which differs from Windows in a few documented places.
    virtual bool RunsUnderWine() const = 0;

    virtual void MakeDirectory(const WideString& relative) = 0;
    virtual void MakeFile(const WideString& relative, const std::string& bytes) = 0;
    virtual void MakeHardLink(const WideString& relative, const WideString& existingRelative) = 0;
    // These return false where the file system cannot hold such an object (Wine shows no
    // reparse points and no named streams; Windows may refuse symbolic links to users without
    // the privilege or developer mode).
    virtual bool MakeSymbolicLink(const WideString& relative, const WideString& targetRelative,
                                  bool directory) = 0;
    virtual bool MakeJunction(const WideString& relative, const WideString& targetRelative) = 0;
    // `name` without colons ("extra" makes ":extra:$DATA").
    virtual bool MakeStream(const WideString& relative, const WideString& name,
                            const std::string& bytes) = 0;

    // What another process attempts, with the calls such a process would make (CreateFileW with
    // backup semantics, DeleteFileW or RemoveDirectoryW, MoveFileExW without flags). Each returns
    // whether it succeeded and stores the error in `*error` (0 on success). A successful open
    // stays open until CloseElsewhere.
    virtual bool OpenElsewhere(const WideString& relative, uint32_t access, uint32_t share,
                               uint32_t* error) = 0;
    virtual void CloseElsewhere() = 0;
    virtual bool DeleteElsewhere(const WideString& relative, uint32_t* error) = 0;
    virtual bool RenameElsewhere(const WideString& from, const WideString& to, uint32_t* error) = 0;

    // root + '\' + relative, and the same with the "\\?\" prefix.
    WideString Path(const WideString& relative) const { return root() + u"\\" + relative; }
    WideString LongPath(const WideString& relative) const { return u"\\\\?\\" + Path(relative); }
};

std::unique_ptr<ContractWorld> MakeContractWorld();

}  // namespace veltomarn::testing
