#pragma once

#include <cstdint>
#include <string>

namespace veltomarn {

// `value` as decimal ASCII digits: most significant first, no sign, no leading zeros, "0" for 0.
std::string DecimalText(uint64_t value);

}  // namespace veltomarn
