#include "platform/platform.h"

#include <cassert>
#include <cstdlib>
#include <exception>

namespace pelldor::platform {
namespace {
Platform* installed = nullptr;
}

Platform& Current() {
    assert(installed != nullptr && "no platform installed");
    return *installed;
}

void Install(Platform* platform) { installed = platform; }

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

void ExitProcess(int status) {
    Current().ExitProcess(status);
    std::_Exit(status);
}

void EndNormally() {
    Current().EndNormally();
    std::_Exit(0);
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
