#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/net.h"

// The system-independent half of a name lookup: the object the time client polls, and the
// thread that runs the system's resolver behind it. Each system supplies only the resolver.
namespace pelldor::platform {

struct LookupOutcome {
    std::vector<NetAddress> addresses;  // without repeats, in the resolver's order
    NetFailure failure;
};

// Adds the address unless it is listed already: a resolver can give one address more than
// once (several hosts-file lines).
void AddOnce(std::vector<NetAddress>& addresses, const NetAddress& address);

// A lookup whose outcome is known at once (a numeric address, a name refused up front).
[[nodiscard]] std::unique_ptr<NameLookup> FinishedLookup(LookupOutcome outcome);

// Runs `resolve` on a detached thread of its own: a resolver stuck on a dead name server
// must not hold up the run, and the process may well end before it returns. Throws
// std::system_error when no thread can be started.
[[nodiscard]] std::unique_ptr<NameLookup> BackgroundLookup(std::function<LookupOutcome()> resolve);

}  // namespace pelldor::platform
