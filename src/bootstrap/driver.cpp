#include "bootstrap/driver.h"

#include <exception>

#include "bootstrap/locations.h"
#include "bootstrap/modes.h"
#include "bootstrap/outcome.h"
#include "core/failure.h"
#include "core/names.h"

namespace veltomarn {
namespace {

// Owns the argument array of CommandLineToArgvW until it is released with LocalFree.
class ArgumentArray {
  public:
    ArgumentArray(Platform& platform, WideChar** array) : platform_(platform), array_(array) {}
    ArgumentArray(const ArgumentArray&) = delete;
    ArgumentArray& operator=(const ArgumentArray&) = delete;
    ~ArgumentArray() {
        if (array_ != nullptr) platform_.LocalFree(array_);
    }
    WideChar** get() const { return array_; }

  private:
    Platform& platform_;
    WideChar** array_;
};

}  // namespace

std::vector<WideString> ReadArguments(Platform& platform) {
    int count = 0;
    const ArgumentArray array(platform,
                              platform.CommandLineToArgvW(platform.GetCommandLineW(), &count));
    check(array.get() != nullptr && count >= 1, "ARGUMENTS");
    return std::vector<WideString>(array.get() + 1, array.get() + count);
}

RunMode ChooseMode(const std::vector<WideString>& arguments) {
    if (arguments.empty()) return RunMode::Normal;
    check(arguments.size() == 1, "ARGUMENTS");
    if (arguments[0] == u"--verify-only") return RunMode::VerifyOnly;
    if (arguments[0] == u"--self-test") return RunMode::SelfTest;
    fail("ARGUMENTS");
}

WideString PackageDirectoryFromModule(Platform& platform) {
    const WideString module = ModulePath(platform);
    const std::size_t slash = module.rfind(u'\\');
    check(!module.empty() && slash != WideString::npos, "BOOTSTRAP_NAME");
    const WideString name = module.substr(slash + 1);
    const int order = platform.CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()),
                                                    kBootstrapFileNameWide, -1, true);
    check(order == win::kCstrEqual, "BOOTSTRAP_NAME");
    return module.substr(0, slash);
}

int RunBootstrap(Platform& platform) {
    bool interactive = false;
    try {
        HardenProcess(platform);
        const std::vector<WideString> arguments = ReadArguments(platform);
        interactive = arguments.empty();
        const RunMode mode = ChooseMode(arguments);
        const WideString packageDirectory = PackageDirectoryFromModule(platform);
        if (mode == RunMode::VerifyOnly) return RunVerifyOnly(platform, packageDirectory);
        return RunSession(platform, packageDirectory, mode);
    } catch (const std::exception& failure) {
        ReportFailure(platform, failure.what(), interactive);
        return 1;
    } catch (...) {
        ReportInternalError(platform);
        return 1;
    }
}

}  // namespace veltomarn
