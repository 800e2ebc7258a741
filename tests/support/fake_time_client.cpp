#include "support/fake_time_client.h"

namespace pelldor::testing {

void FakeTimeClient::BeginQuery() {
    calls.push_back("BeginQuery");
    ++begins;
    beginMonotonic.push_back(clock_.monotonicNanos);
    if (clearOnBegin) received.reset();
    done_ = false;
    beganAt_ = clock_.monotonicNanos;
    current_.reset();
    if (!script.empty()) {
        current_ = script.front();
        script.pop_front();
    }
    if (failBegin) throw dropin::RunError(dropin::ErrorKind::Component, "the component refused to start");
}

void FakeTimeClient::Advance(std::int64_t /*until*/) {
    if (done_ || !current_) return;
    if (clock_.monotonicNanos - beganAt_ < current_->afterMs * 1'000'000) return;
    if (current_->offsetNanos) received = AddNanos(PreciseLocal(clock_.ReadWallClock()), *current_->offsetNanos);
    if (current_->noticeCode) RaiseError(*current_->noticeCode, current_->noticeText);
    done_ = true;
    current_.reset();
}

}  // namespace pelldor::testing
