#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launch/environment.h"
#include "launch/inner_launch.h"

namespace veltomarn::test {
namespace {

TEST(InnerEnvironmentTest, DropsRemovedNamesAddsTheBuiltOnesAndSortsAsWcsicmp) {
    // clang-format off
    const std::vector<WideString> inherited = {
        u"Path=x", u"path=y", u"PATHEXT=.EXE", u"windir=w", u"SystemRoot=r", u"PythonPath=p",
        u"PYTHON=p", u"pythonhome=p", u"PYTH=keep", u"Cor_Enable_Profiling=1", u"CORE=keep",
        u"COMPlus_EnableDiagnostics=0", u"DOTNET_ROOT=d", u"DOTNET=keep", u"APPDOMAIN_MANAGER=a",
        u"DevPath=d", u"__COMPAT_LAYER=x", u"DEVPATHS=keep", u"=C:=C:\\", u"no-equals", u"b=2",
        u"_under=1", u"B=1", u"CoreClr_Profiler_Path=p", u"CORECLR=keep", u"node_options=x",
        u"NODE_OPTIONS_EXTRA=keep", u"_JAVA_OPTIONS=j", u"QT_QPA_PLATFORM_PLUGIN_PATH=q",
        u"SslKeyLogFile=k", u"WINEDLLOVERRIDES=keep", u"ELECTRON_RUN_AS_NODE=1", u"OPENSSL_CONF=c",
        u"JAVA_TOOL_OPTIONS=j", u"JDK_JAVA_OPTIONS=j", u"QT_PLUGIN_PATH=q", u"OPENSSL_MODULES=m",
        u"OPENSSL_ENGINES=e"};
    const std::vector<WideString> expected = {
        u"_under=1", u"B=1", u"b=2", u"CORE=keep", u"CORECLR=keep", u"DEVPATHS=keep",
        u"DOTNET=keep", u"NODE_OPTIONS_EXTRA=keep",
        u"PATH=C:\\W\\system32;C:\\W\\system32\\WindowsPowerShell\\v1.0;C:\\W", u"PATHEXT=.EXE",
        u"PYTH=keep", u"SystemRoot=C:\\W", u"WINDIR=C:\\W", u"WINEDLLOVERRIDES=keep"};
    // clang-format on
    EXPECT_EQ(InnerEnvironmentEntries(inherited, u"C:\\W\\system32", u"C:\\W"), expected);
}

TEST(QuoteArgumentTest, IsUndoneByCommandLineToArgvW) {
    const std::pair<WideString, WideString> kRows[] = {
        {u"C:\\c\\s\\VeltoMarnLauncher.exe", u"\"C:\\c\\s\\VeltoMarnLauncher.exe\""},
        {u"a\\\\\"b", u"\"a\\\\\\\\\\\"b\""},  // two backslashes and a quote: five and the quote
        {u"x\\\\", u"\"x\\\\\\\\\""},          // two backslashes at the end: four
        {u"", u"\"\""},
    };
    for (const auto& [argument, quoted] : kRows) EXPECT_TRUE(QuoteArgument(argument) == quoted);
}

}  // namespace
}  // namespace veltomarn::test
