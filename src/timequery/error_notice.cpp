#include "timequery/error_notice.h"

#include "run/debug_log.h"
#include "run/run_state.h"

namespace pelldor::timequery {

void netClock_Error(std::int16_t code, const std::string& description) {
    if (!Logging()) return;
    WriteLogLine({logline::ErrorNotice(code, description)});
    Pause(300);
}

}  // namespace pelldor::timequery
