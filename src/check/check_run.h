#pragma once

#include <span>
#include <string>

#include "foundation/loop.h"
#include "platform/clock.h"
#include "platform/network.h"
#include "platform/process.h"

namespace pelldor::check {

// A whole run of `pelldor check` with the arguments after the word "check": one status
// line on standard output, and diagnosis on standard error when asked for. Returns the
// exit status, which is the state. Waits only in the loop, on the exchange's socket, and
// ends as soon as the verdict is known or the timeout has passed.
[[nodiscard]] int RunCheck(platform::Process& process, platform::Clock& clock, platform::Network& network, Loop& loop,
                           std::span<const std::string> args);

}  // namespace pelldor::check
