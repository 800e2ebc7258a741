#pragma once

#include <cstdint>

#include "dropin/run_driver.h"

namespace pelldor::dropin {

// The widest lag behind the local clock, in whole seconds, that still counts as a usable
// time.
inline constexpr std::int64_t kMaxLagSeconds = 3;

// Asks server n for the time, retrying while none comes back, and writes 100 or 0 into
// its Status. Its own errors end the check with a log line and leave Status as it was; a
// failure of the log passes up.
void CheckNtpStatus(FrmPelldor& form, RunState& state, std::int16_t n);

}  // namespace pelldor::dropin
