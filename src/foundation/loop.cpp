#include "foundation/loop.h"

#include <algorithm>

namespace pelldor {

void Loop::Add(Task& task) {
    if (std::find(tasks_.begin(), tasks_.end(), &task) == tasks_.end()) tasks_.push_back(&task);
}

void Loop::Remove(Task& task) { tasks_.erase(std::remove(tasks_.begin(), tasks_.end(), &task), tasks_.end()); }

void Loop::RunUntil(std::int64_t until, const std::function<bool()>& finished) {
    for (;;) {
        // A copy, so that a task may be added or removed while the tasks move on.
        const std::vector<Task*> tasks = tasks_;
        for (Task* task : tasks) {
            if (std::find(tasks_.begin(), tasks_.end(), task) != tasks_.end()) task->Advance(until);
        }
        if (finished && finished()) return;
        if (clock_.MonotonicNanos() >= until) return;
        std::int64_t wake = until;
        watched_.clear();
        for (Task* task : tasks_) {
            wake = std::min(wake, task->WakeAt());
            if (platform::Channel* channel = task->Channel()) watched_.push_back(channel);
        }
        clock_.WaitUntil(wake, watched_);
        process_.DispatchSystemMessages();
    }
}

}  // namespace pelldor
