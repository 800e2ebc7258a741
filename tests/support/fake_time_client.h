#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/event_queue.h"
#include "support/fake_platform.h"
#include "timequery/time_client.h"

namespace pelldor::testing {

// A scripted time client on the virtual clock. Each BeginQuery takes the next outcome
// from `script`; an exhausted script or an empty outcome is a server that never answers.
class FakeTimeClient final : public timequery::TimeClient, private platform::EventSource {
public:
    struct Outcome {
        std::int64_t afterMs = 0;                 // when the query ends, after BeginQuery
        std::optional<std::int64_t> offsetNanos;  // server minus local clock; none: no time
        std::optional<std::int16_t> noticeCode;   // raised as the query ends
        std::string noticeText;
    };

    explicit FakeTimeClient(FakePlatform& platform);
    ~FakeTimeClient() override;

    void QueryTimeout(std::int16_t seconds) override;
    void QueryHost(const std::string& host) override;
    void QueryPort(std::int32_t port) override;
    void BeginQuery() override;
    bool QueryDone() override;
    std::optional<platform::PreciseLocalTime> ReceivedTime() override;

    // Raises a notification now, as the component would from the event-delivery step.
    void Notify(std::int16_t code, const std::string& text);

    std::deque<std::optional<Outcome>> script;
    bool clearOnBegin = true;
    bool failBegin = false;
    bool failQueryDone = false;
    bool failReceivedTime = false;
    bool failHost = false;
    std::optional<platform::PreciseLocalTime> received;

    // "QueryTimeout=5", "QueryHost=h", "QueryPort=123", "BeginQuery", in call order.
    std::vector<std::string> calls;
    std::vector<std::int64_t> beginMonotonic;
    int begins = 0;

private:
    void Advance() override;

    FakePlatform& platform_;
    std::optional<Outcome> current_;
    std::int64_t beganAt_ = 0;
    bool done_ = false;
};

}  // namespace pelldor::testing
