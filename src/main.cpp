#include <exception>

#include "platform/linux_platform.h"
#include "run/run_driver.h"
#include "timequery/sntp_client.h"

int main(int argc, char** argv) {
    using namespace pelldor;
    platform::LinuxPlatform linux(argc, argv);
    platform::Install(&linux);
    try {
        // Both live until the process ends; nothing is torn down.
        static timequery::SntpClient client(linux);
        BindNetClock(client);
        RunDriver();
    } catch (const std::exception& e) {
        linux.EndOnUnhandledError(e.what());
    } catch (...) {
        linux.EndOnUnhandledError("unknown error");
    }
}
