#include "timequery/error_notice.h"

#include "run/debug_log.h"
#include "run/run_state.h"

namespace pelldor::timequery {

void netClock_Error(std::int16_t code, const std::string& description) {
    if (!Logging()) return;
    // No blank after the timestamp: readers of existing logs match the line as it stands.
    WriteLogLine({LogTimestamp() + "Error " + std::to_string(code) + ": " + description + " (netClock_Error)"});
    Pause(300);
}

}  // namespace pelldor::timequery
