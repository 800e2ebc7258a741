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

    // What a usable reply measured, beside the time it brought.
    struct Measurement {
        std::int64_t offsetNanos = 0;  // server minus local clock
        std::int64_t delayNanos = 0;   // round trip on the wire
        std::uint8_t stratum = 0;
        platform::NetAddress server;
    };
    // Of the last query, when it brought a time.
    [[nodiscard]] const std::optional<Measurement>& LastMeasurement() const { return measurement_; }

    // Settings for a caller that waits on the client itself (WaitForNews) rather than
    // pacing it: a silent address is asked again after this long, and after its second
    // request the next address takes its turn, round and round. 0 (the default): one
    // request per address.
    void ResendAfter(std::int64_t nanos) { resendNanos_ = nanos; }
    // Only addresses of this family are asked; a name without one fails its lookup.
    void OnlyFamily(std::optional<platform::NetAddress::Family> family) { family_ = family; }
    // Blocks until the query may have moved on (a datagram waits on its socket, its next
    // request is due, or a moment has passed while the name is looked up), or at most
    // until the monotonic clock reads `untilNanos`. Events must be delivered afterwards.
    void WaitForNews(std::int64_t untilNanos);
    // Where the last query sent its last request; none when it sent none (its name not
    // looked up yet, say).
    [[nodiscard]] const std::optional<platform::NetAddress>& LastAsked() const { return lastAsked_; }

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

    // One request that went out. Our send time stays here rather than on the wire: T1 is
    // the wall clock then, and the time of receipt is T1 plus the monotonic time since, so
    // a wall-clock step during the exchange cannot distort the offset.
    struct Sent {
        std::uint64_t cookie = 0;
        platform::WallReading wall;
        std::int64_t monotonic = 0;
    };

    // The address a query is asking, through its own socket, and what went out to it.
    struct Request {
        std::unique_ptr<platform::UdpChannel> channel;
        platform::NetAddress peer;
        std::vector<Sent> sent;
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
    // Moves to the next address of the list; with `again`, one that every address has had
    // its turn in starts the round afresh.
    void SendToNextAddress(bool again = false);
    // Puts one more request on the wire to the address being asked; false when it failed.
    bool Send(Request& request);
    void ResendWhenDue();
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

    std::int64_t resendNanos_ = 0;
    std::optional<platform::NetAddress::Family> family_;

    bool done_ = false;
    std::optional<platform::PreciseLocalTime> received_;
    std::optional<Measurement> measurement_;
    std::optional<platform::NetAddress> lastAsked_;
    std::optional<Query> query_;

    std::optional<Resolution> resolution_;
    std::vector<Silenced> silenced_;
    std::array<std::uint8_t, 1500> buffer_{};
};

}  // namespace pelldor::timequery
