#include "dropin/error_notice.h"

namespace pelldor::dropin {

void netClock_Error(FrmPelldor& form, const RunState& state, std::int16_t code, const std::string& description) {
    if (!Logging(state)) return;
    form.log.WriteLogLine({logline::ErrorNotice(form.log, code, description)});
    form.pacer.Pause(300);
}

}  // namespace pelldor::dropin
