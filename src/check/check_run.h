#pragma once

#include <span>
#include <string>

#include "platform/platform.h"

namespace pelldor::check {

// A whole run of `pelldor check` with the arguments after the word "check": one status
// line on standard output, and diagnosis on standard error when asked for. Returns the
// exit status, which is the state. Waits only on the client itself, never in fixed pauses,
// and ends as soon as the verdict is known or the timeout has passed.
[[nodiscard]] int RunCheck(platform::Platform& os, std::span<const std::string> args);

}  // namespace pelldor::check
