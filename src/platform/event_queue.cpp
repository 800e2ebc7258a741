#include "platform/event_queue.h"

#include <algorithm>
#include <utility>

namespace pelldor::platform {

void EventQueue::AddSource(EventSource* source) { sources_.push_back(source); }

void EventQueue::RemoveSource(EventSource* source) {
    sources_.erase(std::remove(sources_.begin(), sources_.end(), source), sources_.end());
}

void EventQueue::Post(std::function<void()> event) { events_.push_back(std::move(event)); }

void EventQueue::AdvanceSources() {
    // A copy, so that a source may add or remove sources while advancing.
    const auto sources = sources_;
    for (EventSource* source : sources) source->Advance();
}

std::function<void()> EventQueue::TakeNext() {
    if (events_.empty()) return {};
    auto event = std::move(events_.front());
    events_.pop_front();
    return event;
}

}  // namespace pelldor::platform
