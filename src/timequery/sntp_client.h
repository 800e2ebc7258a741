#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "timequery/time_client.h"

namespace pelldor::timequery {

// An SNTPv4 client that asks one server for its time, one query at a time, without ever
// blocking: the query moves on only when events are delivered. It lives for the whole run
// and remembers across queries what later ones must respect: the name lookup, whose turn
// each address has, and the servers that told it to stop asking.
class SntpClient final : public TimeClient, private platform::EventSource {
public:
    explicit SntpClient(platform::Platform& platform);
    ~SntpClient() override;
    SntpClient(const SntpClient&) = delete;
    SntpClient& operator=(const SntpClient&) = delete;

    void QueryTimeout(std::int16_t seconds) override { timeoutSeconds_ = seconds; }
    void QueryHost(const std::string& host) override { host_ = host; }
    void QueryPort(std::int32_t port) override { port_ = port; }
    void BeginQuery() override;
    [[nodiscard]] bool QueryDone() override { return done_; }
    [[nodiscard]] std::optional<platform::PreciseLocalTime> ReceivedTime() override { return received_; }

    // A flood of datagrams is read across several deliveries instead of starving the program.
    static constexpr int kMaxDatagramsPerAdvance = 64;

private:
    enum class Phase { Idle, Resolving, Waiting };

    // One lookup per host for the whole run: a query that times out while it is pending
    // leaves it running for the next one, so a slow name server costs one resolver thread
    // and a name slower than the timeout still resolves on a later attempt.
    struct Resolution {
        std::string host;
        std::unique_ptr<platform::NameLookup> lookup;  // until it has finished
        platform::LookupStatus status = platform::LookupStatus::Pending;
        std::vector<platform::NetAddress> addresses;
        platform::NetFailure failure;
        std::size_t nextFirst = 0;  // where the next query starts in the list
    };

    // A server that answered DENY, RSTR or RATE, and the notice it earned.
    struct Silenced {
        platform::NetAddress address;
        std::string notice;
    };

    void Advance() override;
    [[nodiscard]] platform::LookupStatus PollResolution();
    void StartSending();
    void SendToNextAddress();
    void ReadReplies();
    // True when the reply ended the query.
    bool TakeReply(std::size_t size);
    [[nodiscard]] const Silenced* FindSilenced(const platform::NetAddress& address) const;
    void Fail(ClientError code, std::string description);
    void Finish();
    void DropQuery();

    platform::Platform& platform_;
    std::int16_t timeoutSeconds_ = 0;
    std::string host_;
    std::int32_t port_ = 0;

    Phase phase_ = Phase::Idle;
    bool done_ = false;
    std::optional<platform::PreciseLocalTime> received_;
    std::int64_t startNanos_ = 0;

    std::optional<Resolution> resolution_;
    std::vector<Silenced> silenced_;

    // The addresses this query has tried, counted from where it started.
    std::size_t first_ = 0;
    std::size_t tried_ = 0;
    platform::NetFailure lastNetworkError_;
    std::optional<std::string> silencedNotice_;  // when an address was passed over for it

    std::unique_ptr<platform::UdpChannel> channel_;
    platform::NetAddress peer_;
    std::uint64_t cookie_ = 0;
    // The wall clock when the request left (T1, kept here rather than on the wire) and the
    // monotonic clock then: the time of receipt is T1 plus the monotonic time since, so a
    // wall-clock step during the exchange cannot distort the offset.
    platform::WallReading sentWall_;
    std::int64_t sentMonotonic_ = 0;
    std::array<std::uint8_t, 1500> buffer_{};
};

}  // namespace pelldor::timequery
