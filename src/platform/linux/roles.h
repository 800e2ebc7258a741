#pragma once

#include <memory>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/network.h"

// The Linux machine's roles, for the one function that puts them together, and what the
// clock's wait must know of the others: the network's sockets, and the descriptor on which
// the stop signals arrive.
namespace pelldor::platform::linux_os {

// What the wait watches of one of this machine's channels: its descriptor (-1 for a channel
// of another kind) and the poll events it waits for.
struct Watch {
    int fd = -1;
    short events = 0;
};
[[nodiscard]] Watch WatchOf(const Channel& channel);

// `stopSignals` is watched by every wait beside the sockets; -1 for none.
[[nodiscard]] std::unique_ptr<Clock> MakeClock(int stopSignals);
[[nodiscard]] std::unique_ptr<Files> MakeFiles();
[[nodiscard]] std::unique_ptr<Network> MakeNetwork();

}  // namespace pelldor::platform::linux_os
