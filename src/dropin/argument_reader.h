#pragma once

#include "dropin/debug_log.h"
#include "dropin/run_state.h"
#include "platform/process.h"

namespace pelldor::dropin {

// Fills the timeout, the retry limit and server row 1 from the command line. False when
// the run is to end here, through its ordinary end: after an argument error while logging
// is on. An argument error while logging is off leaves ServerCount at 0. A failure of the
// log is no argument error: it passes up, and ends the run as unhandled.
[[nodiscard]] bool ReadArguments(platform::Process& process, DebugLog& log, Pacer& pacer, RunState& state);

}  // namespace pelldor::dropin
