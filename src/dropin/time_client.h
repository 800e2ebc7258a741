#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "dropin/run_state.h"
#include "foundation/time_math.h"

namespace pelldor::dropin {

using ErrorHandler = std::function<void(std::int16_t code, const std::string& description)>;

// The time-client component: set the three properties, begin a query, poll QueryDone,
// then read ReceivedTime. Failures of a query arrive as error notifications, delivered
// only inside the event-delivery step on the program's thread. A method may throw
// RunError(Component) when the component itself fails.
class TimeClient {
public:
    // Notifications are queued for the pacer's next event delivery.
    explicit TimeClient(Pacer& pacer) : pacer_(pacer) {}
    virtual ~TimeClient() = default;
    TimeClient(const TimeClient&) = delete;
    TimeClient& operator=(const TimeClient&) = delete;

    virtual void QueryTimeout(std::int16_t seconds) = 0;
    virtual void QueryHost(const std::string& host) = 0;
    virtual void QueryPort(std::int32_t port) = 0;
    virtual void BeginQuery() = 0;
    [[nodiscard]] virtual bool QueryDone() = 0;
    // The server's clock at the moment of receipt, as a local date-time in the zone the
    // client read its own clock in; empty when the last query brought no time.
    [[nodiscard]] virtual std::optional<PreciseLocalTime> ReceivedTime() = 0;

    void OnError(ErrorHandler handler) { errorHandler_ = std::move(handler); }

protected:
    // Queues the notification for the next event delivery.
    void RaiseError(std::int16_t code, std::string description) {
        pacer_.Post([this, code, text = std::move(description)] {
            if (errorHandler_) errorHandler_(code, text);
        });
    }

private:
    Pacer& pacer_;
    ErrorHandler errorHandler_;
};

}  // namespace pelldor::dropin
