#pragma once

#include <cstdint>
#include <string>

#include "dropin/run_driver.h"

namespace pelldor::dropin {

// The time client's error notification: logged, never part of the verdict.
void netClock_Error(FrmPelldor& form, const RunState& state, std::int16_t code, const std::string& description);

}  // namespace pelldor::dropin
