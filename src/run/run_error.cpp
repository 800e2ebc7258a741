#include "run/run_error.h"

#include <limits>

namespace pelldor {

std::int16_t CheckedNarrow16(long long value) {
    if (value < std::numeric_limits<std::int16_t>::min() ||
        value > std::numeric_limits<std::int16_t>::max()) {
        throw RunError(ErrorKind::Overflow, "overflow: " + std::to_string(value) +
                                                " does not fit a 16-bit count");
    }
    return static_cast<std::int16_t>(value);
}

std::int16_t CheckedAdd16(std::int16_t a, std::int16_t b) {
    return CheckedNarrow16(static_cast<long long>(a) + b);
}

}  // namespace pelldor
