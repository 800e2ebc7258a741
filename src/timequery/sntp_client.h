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

    void QueryTimeout(std::int16_t seconds) override { timeoutSeconds_ = seconds; }
    void QueryHost(const std::string& host) override { host_ = host; }
    void QueryPort(std::int32_t port) override { port_ = port; }
    void BeginQuery() override;
    [[nodiscard]] bool QueryDone() override { return done_; }
    [[nodiscard]] std::optional<platform::PreciseLocalTime> ReceivedTime() override { return received_; }

private:
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

    // The request of a query that is out, waiting for its answer. Our send time stays
    // here rather than on the wire: T1 is the wall clock then, and the time of receipt is
    // T1 plus the monotonic time since, so a wall-clock step during the exchange cannot
    // distort the offset.
    struct Request {
        std::unique_ptr<platform::UdpChannel> channel;
        platform::NetAddress peer;
        std::uint64_t cookie = 0;
        platform::WallReading sentWall;
        std::int64_t sentMonotonic = 0;
    };

    // Everything that belongs to the query in progress, gone as one when it ends; closing
    // its socket means no late datagram of it can be read by the next query.
    struct Query {
        std::int64_t startNanos = 0;
        // The addresses tried so far, counted from where this query started in the list.
        std::size_t first = 0;
        std::size_t tried = 0;
        platform::NetFailure lastNetworkError;
        std::optional<std::string> silencedNotice;  // when an address was passed over for it
        std::optional<Request> request;             // none while the name is being resolved
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

    platform::Platform& platform_;
    std::int16_t timeoutSeconds_ = 0;
    std::string host_;
    std::int32_t port_ = 0;

    bool done_ = false;
    std::optional<platform::PreciseLocalTime> received_;
    std::optional<Query> query_;

    std::optional<Resolution> resolution_;
    std::vector<Silenced> silenced_;
    std::array<std::uint8_t, 1500> buffer_{};
};

}  // namespace pelldor::timequery
