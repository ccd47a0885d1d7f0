#include "contract/contract_platform.h"
#include "support/memory_platform.h"

namespace veltomarn::testing {
namespace {

class MemoryContractWorld final : public ContractWorld {
  public:
    MemoryContractWorld() { platform_.AddDirectory(root_); }

    Platform& platform() override { return platform_; }
    const WideString& root() const override { return root_; }
    bool RunsUnderWine() const override { return false; }

    void MakeDirectory(const WideString& relative) override {
        platform_.AddDirectory(Path(relative));
    }
    void MakeFile(const WideString& relative, const std::string& bytes) override {
        platform_.AddFile(Path(relative), bytes);
    }
    void MakeHardLink(const WideString& relative, const WideString& existingRelative) override {
        platform_.AddHardLink(Path(relative), Path(existingRelative));
    }
    bool MakeSymbolicLink(const WideString& relative, const WideString& targetRelative,
                          bool directory) override {
        platform_.AddSymbolicLink(Path(relative), Path(targetRelative), directory);
        return true;
    }
    bool MakeJunction(const WideString& relative, const WideString& targetRelative) override {
        platform_.AddJunction(Path(relative), Path(targetRelative));
        return true;
    }
    bool MakeStream(const WideString& relative, const WideString& name,
                    const std::string& bytes) override {
        platform_.AddStream(Path(relative), name, bytes);
        return true;
    }

    bool OpenElsewhere(const WideString& relative, uint32_t access, uint32_t share,
                       uint32_t* error) override {
        return Report(platform_.ForeignOpen(LongPath(relative), access, share), error);
    }
    void CloseElsewhere() override { platform_.ForeignCloseAll(); }
    bool DeleteElsewhere(const WideString& relative, uint32_t* error) override {
        return Report(platform_.ForeignDelete(LongPath(relative)), error);
    }
    bool RenameElsewhere(const WideString& from, const WideString& to, uint32_t* error) override {
        return Report(platform_.ForeignRename(LongPath(from), LongPath(to)), error);
    }

  private:
    bool Report(bool ok, uint32_t* error) {
        *error = ok ? 0 : platform_.GetLastError();
        return ok;
    }

    MemoryPlatform platform_;
    const WideString root_ = u"C:\\Users\\tester\\AppData\\Local\\Temp\\veltomarn-contract";
};

}  // namespace

std::unique_ptr<Platform> MakeContractPlatform() {
    return std::make_unique<MemoryPlatform>();
}

std::unique_ptr<ContractWorld> MakeContractWorld() {
    return std::make_unique<MemoryContractWorld>();
}

}  // namespace veltomarn::testing
