#pragma once

#include <memory>

#include "platform/platform.h"

namespace pelldor::platform {

// The platform of the system this program was built for. Each system's folder beside this
// file provides it, and the build compiles exactly one of them; a new system needs a
// Platform implementation (clocks, sleep, files, command-line tail, UDP, name lookup,
// process ends) and this function.
[[nodiscard]] std::unique_ptr<Platform> MakeNativePlatform(int argc, char** argv);

}  // namespace pelldor::platform
