#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/network.h"

// The system-independent half of a name lookup: the object the time client polls, and the
// thread that runs the system's resolver behind it. Each system supplies only the resolver.
namespace pelldor::platform {

struct LookupOutcome {
    std::vector<NetAddress> addresses;  // without repeats, in the resolver's order
    NetFailure failure;
};

// A lookup whose outcome is known at once (a name refused up front).
[[nodiscard]] std::unique_ptr<NameLookup> FinishedLookup(LookupOutcome outcome);

// A system's resolver, which may block: numeric addresses only when asked, else any name.
using Resolver = std::function<LookupOutcome(const std::string& host, std::uint16_t port, bool numericOnly)>;

// The lookup every system starts. A numeric address resolves at once on the caller's
// thread; a name resolves on a detached thread of its own, since a resolver stuck on a dead
// name server must not hold up the run and the process may well end before it returns. An
// empty name, or one holding a NUL, never reaches the resolver: libraries differ on what
// the one means, and the other would silently cut the name short; it fails with notFound.
[[nodiscard]] std::unique_ptr<NameLookup> StartNameLookup(const std::string& host, std::uint16_t port,
                                                          Resolver resolve, NetFailure notFound);

}  // namespace pelldor::platform
