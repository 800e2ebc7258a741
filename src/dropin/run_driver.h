#pragma once

#include "dropin/debug_log.h"
#include "dropin/run_error.h"
#include "dropin/run_state.h"
#include "dropin/time_client.h"
#include "foundation/loop.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/network.h"
#include "platform/process.h"

namespace pelldor::dropin {

// The program's window as the drop-in knows it: the one time-client instance on it,
// netClock, and what its two handlers (the activation, RunDriver, and netClock_Error) work
// with. Made once for the process and handed down; nothing of it is global.
struct FrmPelldor {
    platform::Process& process;
    DebugLog& log;
    Pacer& pacer;
    TimeClient& netClock;
};

// A whole run of the drop-in, from the log switch to the result: the run state is its own,
// and netClock's notifications go to netClock_Error for as long as it runs.
[[nodiscard]] RunEnd RunDriver(FrmPelldor& form);

// The drop-in on this machine: --version or --help as the whole command line, or a run.
// The exit status, for main to end the process with; an error that no handler took has
// written its one line on standard error.
[[nodiscard]] int RunDropIn(platform::Process& process, platform::Clock& clock, platform::Files& files,
                            platform::Network& network, Loop& loop);

}  // namespace pelldor::dropin
