#include "dropin/run_driver.h"

#include "cmdline/argument_reader.h"
#include "foundation/debug_log.h"
#include "foundation/run_error.h"
#include "foundation/run_state.h"
#include "timequery/server_check.h"

namespace pelldor {

void RunDriver() {
    SwitchTest();
    ReadArguments();

    if (runState.ServerCount == 0) {
        Pause(1000);
        Os().EndNormally();
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
    Os().ExitProcess(result);
}

}  // namespace pelldor
