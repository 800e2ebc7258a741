#include "dropin/run_state.h"

#include <exception>

#include "dropin/run_error.h"

namespace pelldor::dropin {
namespace {

constexpr std::int64_t kStepNanos = 10'000'000;

}  // namespace

ServerEntry& RunState::Servers(std::int16_t n) {
    if (n < 1 || n > kServerRows) {
        throw RunError(ErrorKind::Bounds, "server number " + std::to_string(n) + " is outside 1 to 10");
    }
    return rows_[static_cast<std::size_t>(n - 1)];
}

void Pacer::Pause(std::int16_t milliseconds) {
    const int steps = milliseconds / 10;
    for (int step = 1; step <= steps; ++step) {
        loop_.RunUntil(loop_.clock().MonotonicNanos() + kStepNanos);
        DeliverEvents();
    }
}

void Pacer::DeliverEvents() {
    while (auto event = events_.TakeNext()) {
        try {
            event();
        } catch (const std::exception& e) {
            throw RunEnded{{RunEnd::Way::Unhandled, 1, e.what()}};
        }
    }
}

}  // namespace pelldor::dropin
