#include "bootstrap/decimal_text.h"

#include <algorithm>

namespace veltomarn {

std::string DecimalText(uint64_t value) {
    std::string text;
    do {
        text.push_back(static_cast<char>('0' + value % 10));
        value /= 10;
    } while (value != 0);
    std::reverse(text.begin(), text.end());
    return text;
}

}  // namespace veltomarn
