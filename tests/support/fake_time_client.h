#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "dropin/run_error.h"
#include "dropin/time_client.h"
#include "foundation/loop.h"
#include "support/fake_machine.h"

namespace pelldor::testing {

// A scripted time client on the virtual clock, moved on by the loop as the real one is.
// Each BeginQuery takes the next outcome from `script`; an exhausted script or an empty
// outcome is a server that never answers.
class FakeTimeClient final : public dropin::TimeClient, private Task {
public:
    struct Outcome {
        std::int64_t afterMs = 0;                 // when the query ends, after BeginQuery
        std::optional<std::int64_t> offsetNanos;  // server minus local clock; none: no time
        std::optional<std::int16_t> noticeCode;   // raised as the query ends
        std::string noticeText;
    };
    static Outcome Answer(std::int64_t offsetNanos, std::int64_t afterMs = 5) { return {afterMs, offsetNanos, {}, {}}; }
    static Outcome Raise(std::int64_t afterMs, std::int16_t code, std::string text) { return {afterMs, {}, code, text}; }

    FakeTimeClient(FakeClock& clock, dropin::Pacer& pacer, Loop& loop)
        : TimeClient(pacer), clock_(clock), loop_(loop) {
        loop_.Add(*this);
    }
    ~FakeTimeClient() override { loop_.Remove(*this); }

    // A component that refuses a call throws what the real one's wrapper raises.
    void QueryTimeout(std::int16_t seconds) override { calls.push_back("QueryTimeout=" + std::to_string(seconds)); }
    void QueryHost(const std::string& host) override {
        if (failHost) throw dropin::RunError(dropin::ErrorKind::Component, "the component refused the host");
        calls.push_back("QueryHost=" + host);
    }
    void QueryPort(std::int32_t port) override { calls.push_back("QueryPort=" + std::to_string(port)); }
    void BeginQuery() override;
    bool QueryDone() override {
        if (failQueryDone) throw dropin::RunError(dropin::ErrorKind::Component, "the component cannot say");
        return done_;
    }
    std::optional<PreciseLocalTime> ReceivedTime() override {
        if (failReceivedTime) throw dropin::RunError(dropin::ErrorKind::Component, "the component lost its time");
        return received;
    }

    std::deque<std::optional<Outcome>> script;
    bool clearOnBegin = true;
    bool failBegin = false;
    bool failQueryDone = false;
    bool failReceivedTime = false;
    bool failHost = false;
    std::optional<PreciseLocalTime> received;

    // "QueryTimeout=5", "QueryHost=h", "QueryPort=123", "BeginQuery", in call order.
    std::vector<std::string> calls;
    std::vector<std::int64_t> beginMonotonic;
    int begins = 0;

private:
    // Never wakes the loop early: like the component it stands for, it is moved on by
    // whatever wait is under way, and its outcome shows at the end of that wait's step.
    platform::Channel* Channel() override { return nullptr; }
    std::int64_t WakeAt() const override { return platform::kNever; }
    void Advance(std::int64_t until) override;

    FakeClock& clock_;
    Loop& loop_;
    std::optional<Outcome> current_;
    std::int64_t beganAt_ = 0;
    bool done_ = false;
};

}  // namespace pelldor::testing
