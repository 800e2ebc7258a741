#include "run/run_state.h"

#include "platform/platform.h"
#include "run/run_error.h"

namespace pelldor {

RunState runState;

ServerEntry& RunState::Servers(std::int16_t n) {
    if (n < 1 || n > kServerRows) {
        throw RunError(ErrorKind::Bounds, "server number " + std::to_string(n) + " is outside 1 to 10");
    }
    return rows[static_cast<std::size_t>(n - 1)];
}

void Pause(std::int16_t milliseconds) {
    auto& platform = platform::Current();
    const int ticks = milliseconds / 10;
    for (int tick = 1; tick <= ticks; ++tick) {
        platform.Sleep(10);
        platform.DeliverEvents();
    }
}

}  // namespace pelldor
