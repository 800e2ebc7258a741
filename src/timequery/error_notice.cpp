#include "timequery/error_notice.h"

#include "foundation/debug_log.h"
#include "foundation/run_state.h"

namespace pelldor::timequery {

void netClock_Error(std::int16_t code, const std::string& description) {
    if (!Logging()) return;
    WriteLogLine({logline::ErrorNotice(code, description)});
    Pause(300);
}

}  // namespace pelldor::timequery
