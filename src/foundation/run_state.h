#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/time_math.h"

namespace pelldor {

struct ServerEntry {
    std::string Host;
    std::int32_t Port = 0;
    std::int16_t Status = 0;
};

inline constexpr std::int16_t kTrue16 = -1;
inline constexpr std::int16_t kServerRows = 10;

// The one process-wide state that every procedure reads and writes directly.
struct RunState {
    std::int16_t DebugOn = 0;  // -1 when the log is on
    std::int16_t TimeoutSeconds = 0;
    std::int16_t RetryLimit = 0;
    std::int16_t ServerCount = 0;
    std::int16_t ServerIndex = 0;
    std::int16_t AttemptCount = 0;
    platform::LocalDateTime Deadline{};

    // Row n, numbered 1 to 10; any other number is a table-bounds error.
    ServerEntry& Servers(std::int16_t n);

private:
    std::array<ServerEntry, kServerRows> rows_{};
};

extern RunState runState;

// The machine the run is on. The program's entry binds it before anything of the run
// happens (a test binds its virtual one); the run's procedures reach it here, as they
// reach runState, while components are handed theirs.
void BindPlatform(platform::Platform* os);
[[nodiscard]] platform::Platform& Os();

// The program's only way of waiting: 10 ms sleeps, each followed by event delivery.
void Pause(std::int16_t milliseconds);

}  // namespace pelldor
