#pragma once

#include "timequery/time_client.h"

namespace pelldor {

// The owner of the one time-client instance and of the binding of its error
// notification. Lives as long as the process.
struct FrmPelldor {
    timequery::TimeClient* netClock = nullptr;
};

extern FrmPelldor frmPelldor;

// Makes `client` the run's netClock and routes its notifications to netClock_Error.
void BindNetClock(timequery::TimeClient& client);
// The bound client; a component error when there is none.
[[nodiscard]] timequery::TimeClient& NetClock();

// A whole run, from the log switch to the exit status. Never returns: every path ends
// the process.
[[noreturn]] void RunDriver();

}  // namespace pelldor
