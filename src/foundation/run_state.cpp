#include "foundation/run_state.h"

#include <cassert>

#include "foundation/run_error.h"

namespace pelldor {
namespace {
platform::Platform* bound = nullptr;
}

RunState runState;

ServerEntry& RunState::Servers(std::int16_t n) {
    if (n < 1 || n > kServerRows) {
        throw RunError(ErrorKind::Bounds, "server number " + std::to_string(n) + " is outside 1 to 10");
    }
    return rows_[static_cast<std::size_t>(n - 1)];
}

void BindPlatform(platform::Platform* os) { bound = os; }

platform::Platform& Os() {
    assert(bound != nullptr && "no platform bound");
    return *bound;
}

void Pause(std::int16_t milliseconds) {
    auto& os = Os();
    const int ticks = milliseconds / 10;
    for (int tick = 1; tick <= ticks; ++tick) {
        os.Sleep(10);
        os.DeliverEvents();
    }
}

}  // namespace pelldor
