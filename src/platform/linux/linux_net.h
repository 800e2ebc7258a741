#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/net.h"

// The network half of the Linux platform, for its other half alone.
namespace pelldor::platform {

[[nodiscard]] std::unique_ptr<NameLookup> StartResolverLookup(const std::string& host, std::uint16_t port);
[[nodiscard]] OpenResult OpenConnectedUdp(const NetAddress& peer);

}  // namespace pelldor::platform
