#pragma once

#include <memory>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/network.h"

// The Linux machine's roles, for the one function that puts them together, and what the
// clock's wait must know of the network's sockets.
namespace pelldor::platform::linux_os {

// The descriptor of one of this machine's channels; -1 for a channel of another kind.
[[nodiscard]] int DescriptorOf(const UdpChannel& channel);

[[nodiscard]] std::unique_ptr<Clock> MakeClock();
[[nodiscard]] std::unique_ptr<Files> MakeFiles();
[[nodiscard]] std::unique_ptr<Network> MakeNetwork();

}  // namespace pelldor::platform::linux_os
