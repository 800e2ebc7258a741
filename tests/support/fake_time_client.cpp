#include "support/fake_time_client.h"

#include "dropin/run_error.h"

namespace pelldor::testing {

using dropin::ErrorKind;
using dropin::RunError;

FakeTimeClient::FakeTimeClient(FakeClock& clock, dropin::Pacer& pacer, Loop& loop)
    : TimeClient(pacer), clock_(clock), loop_(loop) {
    loop_.Add(*this);
}

FakeTimeClient::~FakeTimeClient() { loop_.Remove(*this); }

void FakeTimeClient::QueryTimeout(std::int16_t seconds) { calls.push_back("QueryTimeout=" + std::to_string(seconds)); }

void FakeTimeClient::QueryHost(const std::string& host) {
    if (failHost) throw RunError(ErrorKind::Component, "the component refused the host");
    calls.push_back("QueryHost=" + host);
}

void FakeTimeClient::QueryPort(std::int32_t port) { calls.push_back("QueryPort=" + std::to_string(port)); }

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
    if (failBegin) throw RunError(ErrorKind::Component, "the component refused to start");
}

bool FakeTimeClient::QueryDone() {
    if (failQueryDone) throw RunError(ErrorKind::Component, "the component cannot say");
    return done_;
}

std::optional<PreciseLocalTime> FakeTimeClient::ReceivedTime() {
    if (failReceivedTime) throw RunError(ErrorKind::Component, "the component lost its time");
    return received;
}

void FakeTimeClient::Advance(std::int64_t /*until*/) {
    if (done_ || !current_) return;
    if (clock_.monotonicNanos - beganAt_ < current_->afterMs * 1'000'000) return;
    if (current_->offsetNanos) received = AddNanos(PreciseLocal(clock_.ReadWallClock()), *current_->offsetNanos);
    if (current_->noticeCode) Notify(*current_->noticeCode, current_->noticeText);
    done_ = true;
    current_.reset();
}

}  // namespace pelldor::testing
