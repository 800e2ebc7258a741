#include "dropin/run_error.h"

#include <limits>

namespace pelldor::dropin {
namespace {

const char* KindName(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::Conversion:
        return "conversion";
    case ErrorKind::Bounds:
        return "table bounds";
    case ErrorKind::Overflow:
        return "overflow";
    case ErrorKind::Component:
        return "time client";
    case ErrorKind::FileOperation:
        return "file operation";
    }
    return "error";
}

}  // namespace

RunError::RunError(ErrorKind kind, const std::string& text)
    : std::runtime_error(std::string(KindName(kind)) + ": " + text), kind_(kind) {}

std::int16_t CheckedNarrow16(long long value) {
    if (value < std::numeric_limits<std::int16_t>::min() || value > std::numeric_limits<std::int16_t>::max()) {
        throw RunError(ErrorKind::Overflow, std::to_string(value) + " does not fit a 16-bit count");
    }
    return static_cast<std::int16_t>(value);
}

std::int16_t CheckedAdd16(std::int16_t a, std::int16_t b) { return CheckedNarrow16(static_cast<long long>(a) + b); }

}  // namespace pelldor::dropin
