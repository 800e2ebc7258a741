#include "timequery/net_clock.h"

#include "foundation/run_error.h"
#include "timequery/error_notice.h"

namespace pelldor::timequery {

FrmPelldor frmPelldor;

void BindNetClock(TimeClient& client) {
    frmPelldor.netClock = &client;
    // The handler is the top of its call chain: an error leaving it ends the run where the
    // notification was delivered.
    client.OnError(netClock_Error);
}

TimeClient& NetClock() {
    if (frmPelldor.netClock == nullptr) throw RunError(ErrorKind::Component, "no time client");
    return *frmPelldor.netClock;
}

}  // namespace pelldor::timequery
