#pragma once

#include <cstdint>
#include <string>

namespace pelldor::timequery {

// The time client's error notification: logged, never part of the verdict.
void netClock_Error(std::int16_t code, const std::string& description);

}  // namespace pelldor::timequery
