#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/net.h"

// The network half of the Windows platform, for its other half alone. Each call is told
// how Winsock's start-up went (0, or its error), since nothing works without it.
namespace pelldor::platform {

[[nodiscard]] std::unique_ptr<NameLookup> StartResolverLookup(const std::string& host, std::uint16_t port,
                                                              int winsockError);
[[nodiscard]] OpenResult OpenConnectedUdp(const NetAddress& peer, int winsockError);

}  // namespace pelldor::platform
