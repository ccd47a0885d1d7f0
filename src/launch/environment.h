#pragma once

// The environment the inner launcher gets: the bootstrap's own without search-path,
// compatibility-layer and runtime-hosting variables, with PATH, SystemRoot and WINDIR built from
// the system locations, sorted, as the block CreateProcessW takes with CREATE_UNICODE_ENVIRONMENT.

#include <vector>

#include "platform/processes.h"

namespace veltomarn {

// The entries ("NAME=VALUE") of the inner environment made from `inherited` (in block order):
// entries without a name, and names removed whole (PATH, SYSTEMROOT, WINDIR, DEVPATH,
// __COMPAT_LAYER) or by prefix (PYTHON, COMPLUS_, COR_, DOTNET_, APPDOMAIN_), compared with ASCII
// letters upper-cased, are dropped; PATH, SystemRoot and WINDIR built from `system` and
// `windows` are added; the whole is sorted as _wcsicmp orders texts.
std::vector<WideString> InnerEnvironmentEntries(const std::vector<WideString>& inherited,
                                                const WideString& system,
                                                const WideString& windows);

// Reads the process's environment and returns the inner launcher's block: every entry and a
// null, then one more null. Throws "ENVIRONMENT_READ", "WINDOWS_DIRECTORY".
std::vector<WideChar> BuildInnerEnvironment(Processes& processes, const WideString& system);

}  // namespace veltomarn
