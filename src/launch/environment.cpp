#include "launch/environment.h"

#include <algorithm>
#include <string_view>

#include "core/failure.h"
#include "core/locations.h"
#include "platform/scoped_handle.h"

namespace veltomarn {
namespace {

// Search paths, the compatibility layer, and what makes a runtime the inner launcher may host
// (.NET, Node.js and Electron, Java, Qt, OpenSSL) load code of the caller's choosing. WINE*
// variables stay: Proton hands its DLL overrides to the game that way.
// clang-format off
constexpr std::u16string_view kRemovedNames[] = {
    u"PATH", u"SYSTEMROOT", u"WINDIR", u"DEVPATH", u"__COMPAT_LAYER", u"NODE_OPTIONS",
    u"ELECTRON_RUN_AS_NODE", u"JAVA_TOOL_OPTIONS", u"_JAVA_OPTIONS", u"JDK_JAVA_OPTIONS",
    u"QT_PLUGIN_PATH", u"QT_QPA_PLATFORM_PLUGIN_PATH", u"OPENSSL_CONF", u"OPENSSL_MODULES",
    u"OPENSSL_ENGINES", u"SSLKEYLOGFILE"};
constexpr std::u16string_view kRemovedPrefixes[] = {
    u"PYTHON", u"COMPLUS_", u"COR_", u"DOTNET_", u"APPDOMAIN_", u"CORECLR_"};
// clang-format on

WideChar UpperAscii(WideChar c) {
    return c >= u'a' && c <= u'z' ? static_cast<WideChar>(c - 0x20) : c;
}
WideChar LowerAscii(WideChar c) {
    return c >= u'A' && c <= u'Z' ? static_cast<WideChar>(c + 0x20) : c;
}

bool Kept(const WideString& entry) {
    const std::size_t equals = entry.find(u'=');
    // No name at all, or a hidden per-drive entry ("=C:=C:\...").
    if (equals == WideString::npos || equals == 0) return false;
    WideString name = entry.substr(0, equals);
    std::transform(name.begin(), name.end(), name.begin(), UpperAscii);
    for (const std::u16string_view removed : kRemovedNames) {
        if (name == removed) return false;
    }
    for (const std::u16string_view prefix : kRemovedPrefixes) {
        if (std::u16string_view(name).starts_with(prefix)) return false;
    }
    return true;
}

// _wcsicmp's order: code units compared as unsigned numbers after folding A-Z to a-z.
bool Before(const WideString& a, const WideString& b) {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](WideChar x, WideChar y) { return LowerAscii(x) < LowerAscii(y); });
}

}  // namespace

std::vector<WideString> InnerEnvironmentEntries(const std::vector<WideString>& inherited,
                                                const WideString& system,
                                                const WideString& windows) {
    std::vector<WideString> entries;
    std::copy_if(inherited.begin(), inherited.end(), std::back_inserter(entries), Kept);
    entries.push_back(u"PATH=" + system + u";" + system + u"\\WindowsPowerShell\\v1.0;" + windows);
    entries.push_back(u"SystemRoot=" + windows);
    entries.push_back(u"WINDIR=" + windows);
    std::sort(entries.begin(), entries.end(), Before);
    return entries;
}

std::vector<WideChar> BuildInnerEnvironment(Processes& processes, const WideString& system) {
    std::vector<WideString> inherited;
    {
        const ScopedEnvironmentBlock block(processes, processes.GetEnvironmentStringsW());
        check(block.valid(), "ENVIRONMENT_READ");
        for (const WideChar* entry = block.get(); *entry != 0;) {
            inherited.emplace_back(entry);
            entry += inherited.back().size() + 1;
        }
    }
    const WideString windows = WindowsDirectory(processes);
    std::vector<WideChar> environment;
    for (const WideString& entry : InnerEnvironmentEntries(inherited, system, windows)) {
        environment.insert(environment.end(), entry.begin(), entry.end());
        environment.push_back(0);
    }
    environment.push_back(0);
    return environment;
}

}  // namespace veltomarn
