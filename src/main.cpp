#include <exception>
#include <span>
#include <string>
#include <vector>

#include "check/check_run.h"
#include "cmdline/information.h"
#include "dropin/run_driver.h"
#include "foundation/run_state.h"
#include "platform/native.h"
#include "timequery/net_clock.h"
#include "timequery/sntp_client.h"

int main(int argc, char** argv) {
    using namespace pelldor;
    // The platform and the time client live side by side for the whole run; every way out
    // of a run ends the process without returning here.
    const auto os = platform::MakeNativePlatform(argc, argv);
    // The drop-in always took "check" as a timeout that is no number, an argument error,
    // so the word is free to select the plugin.
    const std::vector<std::string> arguments = os->Arguments();
    if (!arguments.empty() && arguments.front() == "check") {
        int status = 3;
        try {
            status = check::RunCheck(*os, std::span(arguments).subspan(1));
        } catch (const std::exception& e) {
            os->WriteStandardOutput(std::string("NTP UNKNOWN - the check failed itself: ") + e.what() + "\n");
        }
        os->ExitProcess(status);
    }
    BindPlatform(os.get());
    try {
        AnswerInformationRequest();
        timequery::SntpClient client(*os);
        timequery::BindNetClock(client);
        RunDriver();
    } catch (const std::exception& e) {
        os->EndOnUnhandledError(e.what());
    } catch (...) {
        os->EndOnUnhandledError("unknown error");
    }
}
