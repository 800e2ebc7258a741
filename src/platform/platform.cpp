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
