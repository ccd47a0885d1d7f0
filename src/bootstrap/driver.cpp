#include "bootstrap/driver.h"

#include <exception>

#include "bootstrap/locations.h"
#include "bootstrap/modes.h"
#include "bootstrap/outcome.h"
#include "core/failure.h"
#include "core/names.h"
#include "platform/scoped_handle.h"

namespace veltomarn {

std::vector<WideString> ReadArguments(Platform& platform) {
    int count = 0;
    const ScopedLocalMemory block(platform,
                                  platform.CommandLineToArgvW(platform.GetCommandLineW(), &count));
    check(block.valid() && count >= 1, "ARGUMENTS");
    const auto* const arguments = static_cast<WideChar* const*>(block.get());
    return std::vector<WideString>(arguments + 1, arguments + count);
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
