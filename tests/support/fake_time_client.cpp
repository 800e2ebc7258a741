#include "support/fake_time_client.h"

#include "foundation/run_error.h"

namespace pelldor::testing {

FakeTimeClient::FakeTimeClient(FakePlatform& platform) : TimeClient(platform.Events()), platform_(platform) {
    platform_.Events().AddSource(this);
}

FakeTimeClient::~FakeTimeClient() { platform_.Events().RemoveSource(this); }

void FakeTimeClient::QueryTimeout(std::int16_t seconds) {
    calls.push_back("QueryTimeout=" + std::to_string(seconds));
}

void FakeTimeClient::QueryHost(const std::string& host) {
    if (failHost) throw RunError(ErrorKind::Component, "the component refused the host");
    calls.push_back("QueryHost=" + host);
}

void FakeTimeClient::QueryPort(std::int32_t port) { calls.push_back("QueryPort=" + std::to_string(port)); }

void FakeTimeClient::BeginQuery() {
    calls.push_back("BeginQuery");
    ++begins;
    beginMonotonic.push_back(platform_.MonotonicNanos());
    if (clearOnBegin) received.reset();
    done_ = false;
    beganAt_ = platform_.MonotonicNanos();
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

std::optional<platform::PreciseLocalTime> FakeTimeClient::ReceivedTime() {
    if (failReceivedTime) throw RunError(ErrorKind::Component, "the component lost its time");
    return received;
}

void FakeTimeClient::Notify(std::int16_t code, const std::string& text) {
    RaiseError(static_cast<timequery::ClientError>(code), text);
}

void FakeTimeClient::Advance() {
    if (done_ || !current_) return;
    if (platform_.MonotonicNanos() - beganAt_ < current_->afterMs * 1'000'000) return;
    if (current_->offsetNanos) {
        const auto now = platform_.ReadWallClock();
        received = platform::AddNanos(platform::PreciseLocalTime{now.local, now.utc.nanos, now.ZoneOffsetSeconds()},
                                      *current_->offsetNanos);
    }
    if (current_->noticeCode) Notify(*current_->noticeCode, current_->noticeText);
    done_ = true;
    current_.reset();
}

}  // namespace pelldor::testing
