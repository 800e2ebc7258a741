#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

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

    FakeTimeClient(FakeClock& clock, dropin::Pacer& pacer, Loop& loop);
    ~FakeTimeClient() override;

    void QueryTimeout(std::int16_t seconds) override;
    void QueryHost(const std::string& host) override;
    void QueryPort(std::int32_t port) override;
    void BeginQuery() override;
    bool QueryDone() override;
    std::optional<PreciseLocalTime> ReceivedTime() override;

    // Raises a notification now, as the component would while the loop moves it on.
    void Notify(std::int16_t code, const std::string& text) { RaiseError(code, text); }

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
