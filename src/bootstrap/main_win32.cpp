// The entry point of VeltoMarnLauncher.exe, a GUI-subsystem program without a console of its own.
// Whatever the runtime passes in is ignored: the driver reads the command line itself.

#include "bootstrap/driver.h"
#include "platform/win32/win32_platform.h"

extern "C" int wWinMain(void* /*instance*/, void* /*previous*/, wchar_t* /*commandLine*/,
                        int /*show*/) {
    veltomarn::Win32Platform platform;
    return veltomarn::RunBootstrap(platform);
}
