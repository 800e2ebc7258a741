#pragma once

#include <span>
#include <string>

#include <functional>
#include <vector>

#include "foundation/loop.h"
#include "nts/nts.h"
#include "platform/clock.h"
#include "platform/network.h"
#include "platform/process.h"

namespace pelldor::check {

// A whole run of `pelldor check` with the arguments after the word "check": one status
// line on standard output, and diagnosis on standard error when asked for. Returns the
// exit status, which is the state. Waits only in the loop, on the exchange's socket, and
// ends as soon as the verdict is known or the timeout has passed.
// The running of key exchanges and authenticated exchanges, which only the program that
// carries the TLS library has.
using AuthenticatedTime = std::function<std::vector<nts::Outcome>(const std::vector<nts::Target>&)>;

// What RunCheck returns, in place of a state, when --nts asks for what it was not given:
// the program must hand the run to the one that carries it.
inline constexpr int kNeedsAuthenticatedTime = -1;

[[nodiscard]] int RunCheck(platform::Process& process, platform::Clock& clock, platform::Network& network, Loop& loop,
                           std::span<const std::string> args, const AuthenticatedTime* authenticatedTime = nullptr);

// The line of a check that needed authenticated time where the program has none.
[[nodiscard]] std::string WithoutAuthenticatedTime();

}  // namespace pelldor::check
