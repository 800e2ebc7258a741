#pragma once

#include "timequery/time_client.h"

namespace pelldor::timequery {

// The owner of the one time-client instance and of the binding of its error
// notification. Lives as long as the process.
struct FrmPelldor {
    TimeClient* netClock = nullptr;
};

extern FrmPelldor frmPelldor;

// Makes `client` the run's netClock and routes its notifications to netClock_Error.
void BindNetClock(TimeClient& client);
// The bound client; a component error when there is none.
[[nodiscard]] TimeClient& NetClock();

}  // namespace pelldor::timequery
