#pragma once

#include <vector>

#include "foundation/loop.h"
#include "nts/nts.h"
#include "platform/clock.h"
#include "platform/network.h"

namespace pelldor::nts {

// Every target at once, each within its timeout; returns when all have ended.
[[nodiscard]] std::vector<Outcome> Run(platform::Clock& clock, platform::Network& network, Loop& loop,
                                       const std::vector<Target>& targets);

}  // namespace pelldor::nts
