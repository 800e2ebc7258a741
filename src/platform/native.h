#pragma once

#include <cstdint>
#include <memory>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/network.h"
#include "platform/process.h"

namespace pelldor::platform {

// The machine this program was built for, one object per role. Each system's folder beside
// this file provides it, and the build compiles exactly one of them; a new system needs the
// four roles, this function and EndProcess.
struct Machine {
    std::unique_ptr<Process> process;
    std::unique_ptr<Clock> clock;
    std::unique_ptr<Files> files;
    std::unique_ptr<Network> network;
};

// Settles what the process inherited, first thing in main, before anything opens a file
// or a socket: standard descriptors that were left closed, and the signals that would end
// it with a status of their own. False when the process cannot run safely.
[[nodiscard]] bool PrepareProcess();

[[nodiscard]] Machine MakeNativeMachine(int argc, char** argv);

// Ends the process at once with this status: no cleanup may wait on a resolver thread
// that is still inside a lookup. Only main calls it.
[[noreturn]] void EndProcess(int status);

// A system's last resort where its random source fails: readings that differ from run to
// run, mixed so that every bit of the result depends on all of them.
[[nodiscard]] inline std::uint64_t MixReadings(std::uint64_t wall, std::uint64_t monotonic, std::uint64_t process) {
    // splitmix64's finaliser: a one-bit change anywhere changes half the output.
    const auto mix = [](std::uint64_t x) {
        x += 0x9e3779b97f4a7c15ULL;
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
        return x ^ (x >> 31);
    };
    return mix(wall ^ mix(monotonic) ^ (process << 32));
}

}  // namespace pelldor::platform
