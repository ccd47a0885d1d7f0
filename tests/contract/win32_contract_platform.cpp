#include "contract/contract_platform.h"
#include "platform/win32/win32_platform.h"

namespace veltomarn::testing {

std::unique_ptr<Platform> MakeContractPlatform() {
    return std::make_unique<Win32Platform>();
}

}  // namespace veltomarn::testing
