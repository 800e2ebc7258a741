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
// blocking: the query moves on only when events are delivered.
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

    void Advance() override;
    void SendToNextAddress();
    void ReadReplies();
    // True when the reply ended the query.
    bool TakeReply(std::size_t size);
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

    std::unique_ptr<platform::NameLookup> lookup_;
    std::vector<platform::NetAddress> addresses_;
    std::size_t nextAddress_ = 0;
    platform::NetFailure lastNetworkError_;

    std::unique_ptr<platform::UdpChannel> channel_;
    platform::NetAddress peer_;
    std::uint64_t cookie_ = 0;
    std::uint64_t sentAt_ = 0;  // T1, kept here rather than on the wire
    std::array<std::uint8_t, 1500> buffer_{};
};

}  // namespace pelldor::timequery
