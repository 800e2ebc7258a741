#include "platform/platform.h"

#include <cstdlib>
#include <exception>
#include <string>

namespace pelldor::platform {

std::uint64_t MixReadings(std::uint64_t wall, std::uint64_t monotonic, std::uint64_t process) {
    // splitmix64's finaliser: a one-bit change anywhere changes half the output.
    const auto mix = [](std::uint64_t x) {
        x += 0x9e3779b97f4a7c15ULL;
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
        return x ^ (x >> 31);
    };
    return mix(wall ^ mix(monotonic) ^ (process << 32));
}

void Platform::EndOnUnhandledError(std::string_view what) {
    std::string line = "pelldor: unhandled error: ";
    line += what;
    line += '\n';
    WriteStandardError(line);
    End(EndWay::Unhandled, 1);
}

void Platform::End(EndWay way, int status) {
    Terminate(way, status);
    // A system whose end returned still ends here, with the same status.
    std::_Exit(status);
}

void Platform::DeliverEvents() {
    DispatchSystemMessages();
    events_.AdvanceSources();
    while (auto event = events_.TakeNext()) {
        try {
            event();
        } catch (const std::exception& e) {
            // An error leaving an event handler is never handed to the code that was
            // pausing: it ends the run.
            EndOnUnhandledError(e.what());
        }
    }
}

}  // namespace pelldor::platform
