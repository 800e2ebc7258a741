#include <exception>

#include "cmdline/information.h"
#include "platform/native.h"
#include "run/run_driver.h"
#include "run/run_error.h"
#include "timequery/sntp_client.h"

int main(int argc, char** argv) {
    using namespace pelldor;
    // The platform and the time client live side by side for the whole run; every way out
    // of RunDriver ends the process without returning here.
    const auto os = platform::MakeNativePlatform(argc, argv);
    platform::Install(os.get());
    try {
        AnswerInformationRequest();
        timequery::SntpClient client(*os);
        BindNetClock(client);
        RunDriver();
    } catch (const std::exception& e) {
        os->EndOnUnhandledError(UnhandledErrorText(e));
    } catch (...) {
        os->EndOnUnhandledError("unknown error");
    }
}
