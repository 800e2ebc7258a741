#pragma once

#include <deque>
#include <functional>

namespace pelldor::dropin {

// The notifications waiting for the next event-delivery step, oldest first.
class EventQueue {
public:
    void Post(std::function<void()> event) { events_.push_back(std::move(event)); }
    // Takes the oldest pending event out of the queue; an empty function when none.
    [[nodiscard]] std::function<void()> TakeNext() {
        if (events_.empty()) return {};
        auto event = std::move(events_.front());
        events_.pop_front();
        return event;
    }

private:
    std::deque<std::function<void()>> events_;
};

}  // namespace pelldor::dropin
