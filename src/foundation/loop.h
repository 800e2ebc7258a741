#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/clock.h"
#include "platform/process.h"

// The one place where the program waits: until a deadline, waking when a datagram arrives
// for one of its tasks or a task's time has come, in the spirit of chrony's scheduler.
namespace pelldor {

// Something the loop moves on: an exchange in progress.
class Task {
public:
    virtual ~Task() = default;
    // The channel whose datagrams or stream it waits on; null while it has none.
    [[nodiscard]] virtual platform::Channel* Channel() = 0;
    // The monotonic time by which it must be moved on even without a datagram;
    // platform::kNever when only a datagram can move it.
    [[nodiscard]] virtual std::int64_t WakeAt() const = 0;
    // Reads what has arrived and does what is due, returning by `until` at the latest
    // however much keeps arriving.
    virtual void Advance(std::int64_t until) = 0;
};

class Loop {
public:
    Loop(platform::Clock& clock, platform::Process& process) : clock_(clock), process_(process) {}
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    // A task is moved on by every wait from now until it is removed.
    void Add(Task& task);
    void Remove(Task& task);

    // Waits until the monotonic clock reads `until`, moving every task on when its
    // datagrams arrive or its time comes, and handing the system's messages to their
    // handlers after each wake. Returns sooner once `finished` holds (asked after the
    // tasks have moved, before each wait).
    void RunUntil(std::int64_t until, const std::function<bool()>& finished = {});

    [[nodiscard]] platform::Clock& clock() { return clock_; }

private:
    platform::Clock& clock_;
    platform::Process& process_;
    std::vector<Task*> tasks_;
    std::vector<platform::Channel*> watched_;
};

}  // namespace pelldor
