#pragma once

#include <deque>
#include <functional>
#include <vector>

namespace pelldor::platform {

// Something that does its work on the program's thread and is given the chance to
// advance whenever events are delivered (the time client's query in progress).
class EventSource {
public:
    virtual ~EventSource() = default;
    // Must not run handlers itself: it posts notifications, which are dispatched after
    // every source has advanced. That keeps a source's state consistent when a handler
    // re-enters event delivery.
    virtual void Advance() = 0;
};

class EventQueue {
public:
    void AddSource(EventSource* source);
    void RemoveSource(EventSource* source);
    void Post(std::function<void()> event);

    void AdvanceSources();
    // Takes the oldest pending event out of the queue; an empty function when none.
    [[nodiscard]] std::function<void()> TakeNext();

private:
    std::vector<EventSource*> sources_;
    std::deque<std::function<void()>> events_;
};

}  // namespace pelldor::platform
