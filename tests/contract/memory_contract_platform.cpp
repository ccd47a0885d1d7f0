#include "contract/contract_platform.h"
#include "support/memory_platform.h"

namespace veltomarn::testing {

std::unique_ptr<Platform> MakeContractPlatform() {
    return std::make_unique<MemoryPlatform>();
}

}  // namespace veltomarn::testing
