// veltomarn-release: signs and checks VeltoMarn release packages on the publisher's machine.

#include <sys/resource.h>

#include <iostream>
#include <string>
#include <vector>

#include "release/release_tool.h"
#include "release/secret_memory.h"
#include "release/tool_error.h"

int main(int argc, char** argv) {
    // First, before OpenSSL allocates anything: every block it frees is wiped, key material too.
    if (!veltomarn::release::InstallWipingOpensslAllocator()) {
        std::cerr << "veltomarn-release: internal error: OpenSSL allocated memory before its "
                     "wiping allocator was installed\n";
        return veltomarn::release::kExitUsageOrIo;
    }
    // The package check keeps every file of a package open at once (up to 512 files and their
    // directories): allow as many descriptors as the system lets this process have.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    veltomarn::release::CatchInterruptions();
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return veltomarn::release::RunReleaseTool(arguments, std::cout, std::cerr);
}
