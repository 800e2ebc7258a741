#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "dropin/event_queue.h"
#include "foundation/loop.h"

namespace pelldor::dropin {

struct ServerEntry {
    std::string Host;
    std::int32_t Port = 0;
    std::int16_t Status = 0;
};

inline constexpr std::int16_t kTrue16 = -1;
inline constexpr std::int16_t kServerRows = 10;

// The state of one run: the driver owns it and hands it to the procedures that read and
// write it.
struct RunState {
    std::int16_t DebugOn = 0;  // -1 when the log is on
    std::int16_t TimeoutSeconds = 0;
    std::int16_t RetryLimit = 0;
    std::int16_t ServerCount = 0;
    std::int16_t ServerIndex = 0;
    std::int16_t AttemptCount = 0;
    // The monotonic time at which the current attempt's wait gives up.
    std::int64_t Deadline = 0;

    // Row n, numbered 1 to 10; any other number is a table-bounds error.
    ServerEntry& Servers(std::int16_t n);

private:
    std::array<ServerEntry, kServerRows> rows_{};
};

// The drop-in's pacing: its only way of waiting, and the event-delivery step that runs the
// time client's notifications.
class Pacer {
public:
    explicit Pacer(Loop& loop) : loop_(loop) {}

    // Waits in 10 ms steps, each followed by event delivery; a duration below 10 ms takes
    // no step at all. During a step the loop moves the time client's query on.
    void Pause(std::int16_t milliseconds);
    // Queues a notification for the next delivery.
    void Post(std::function<void()> event) { events_.Post(std::move(event)); }
    // Runs each pending notification's handler to completion, oldest first; handlers may
    // pause in turn. An error that leaves a handler ends the run here: the code that was
    // waiting never sees it.
    void DeliverEvents();

private:
    Loop& loop_;
    EventQueue events_;
};

}  // namespace pelldor::dropin
