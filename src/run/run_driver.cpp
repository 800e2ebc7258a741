#include "run/run_driver.h"

#include "cmdline/argument_reader.h"
#include "platform/platform.h"
#include "run/debug_log.h"
#include "run/run_error.h"
#include "run/run_state.h"
#include "timequery/error_notice.h"
#include "timequery/server_check.h"

namespace pelldor {

FrmPelldor frmPelldor;

void BindNetClock(timequery::TimeClient& client) {
    frmPelldor.netClock = &client;
    client.OnError([](std::int16_t code, const std::string& description) {
        try {
            timequery::netClock_Error(code, description);
        } catch (const std::exception& e) {
            // The top of its call chain: nothing above it may take the error.
            platform::Current().EndOnUnhandledError(UnhandledErrorText(e));
        }
    });
}

timequery::TimeClient& NetClock() {
    if (frmPelldor.netClock == nullptr) throw RunError(ErrorKind::Component, "no time client");
    return *frmPelldor.netClock;
}

void RunDriver() {
    SwitchTest();
    ReadArguments();

    if (runState.ServerCount == 0) {
        Pause(1000);
        platform::EndNormally();
    }

    for (runState.ServerIndex = 1; runState.ServerIndex <= runState.ServerCount;
         runState.ServerIndex = CheckedAdd16(runState.ServerIndex, 1)) {
        timequery::CheckNtpStatus(runState.ServerIndex);
    }

    std::int16_t result = 0;
    for (runState.ServerIndex = 1; runState.ServerIndex <= runState.ServerCount;
         runState.ServerIndex = CheckedAdd16(runState.ServerIndex, 1)) {
        result = CheckedAdd16(result, runState.Servers(runState.ServerIndex).Status);
    }

    if (Logging()) {
        WriteLogLine({logline::Result(result)});
        Pause(500);
    }
    platform::ExitProcess(result);
}

}  // namespace pelldor
