#include <exception>

#include "platform/linux_platform.h"
#include "run/run_driver.h"
#include "timequery/sntp_client.h"

int main(int argc, char** argv) {
    using namespace pelldor;
    platform::LinuxPlatform os(argc, argv);
    platform::Install(&os);
    try {
        // Both live until the process ends; nothing is torn down.
        static timequery::SntpClient client(os);
        BindNetClock(client);
        RunDriver();
    } catch (const std::exception& e) {
        os.EndOnUnhandledError(e.what());
    } catch (...) {
        os.EndOnUnhandledError("unknown error");
    }
}
