#include "run/run_error.h"

#include <limits>

namespace pelldor {

std::string UnhandledErrorText(const std::exception& error) {
    const auto* runError = dynamic_cast<const RunError*>(&error);
    if (runError == nullptr) return error.what();
    const char* kind = "";
    switch (runError->kind()) {
    case ErrorKind::Conversion:
        kind = "conversion: ";
        break;
    case ErrorKind::Bounds:
        kind = "table bounds: ";
        break;
    case ErrorKind::Overflow:
        kind = "overflow: ";
        break;
    case ErrorKind::Component:
        kind = "time client: ";
        break;
    case ErrorKind::FileOperation:
        kind = "file operation: ";
        break;
    }
    return kind + std::string(error.what());
}

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
