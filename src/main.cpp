#include <exception>

#include "cmdline/information.h"
#include "dropin/run_driver.h"
#include "foundation/run_state.h"
#include "platform/native.h"
#include "timequery/net_clock.h"
#include "timequery/sntp_client.h"

int main(int argc, char** argv) {
    using namespace pelldor;
    // The platform and the time client live side by side for the whole run; every way out
    // of RunDriver ends the process without returning here.
    const auto os = platform::MakeNativePlatform(argc, argv);
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
