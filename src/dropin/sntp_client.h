#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "dropin/time_client.h"
#include "exchange/exchange.h"

namespace pelldor::dropin {

// The time-client contract over the exchange core: each query is one exchange with the
// component's own timeout and one request per address, moved on by the loop while the
// drop-in pauses. The core remembers across queries what later ones must respect.
class SntpClient final : public TimeClient {
public:
    SntpClient(exchange::Client& client, Pacer& pacer) : TimeClient(pacer), client_(client) {}

    void QueryTimeout(std::int16_t seconds) override { timeoutSeconds_ = seconds; }
    void QueryHost(const std::string& host) override { host_ = host; }
    void QueryPort(std::int32_t port) override { port_ = port; }
    // A query begun while another runs abandons the old one: its socket is closed, so a
    // late reply can never be taken, and it reports nothing more.
    void BeginQuery() override;
    [[nodiscard]] bool QueryDone() override { return done_; }
    [[nodiscard]] std::optional<PreciseLocalTime> ReceivedTime() override { return received_; }

private:
    exchange::Client& client_;
    std::int16_t timeoutSeconds_ = 0;
    std::string host_;
    std::int32_t port_ = 0;
    bool done_ = false;
    std::optional<PreciseLocalTime> received_;
    std::unique_ptr<exchange::Exchange> exchange_;
};

}  // namespace pelldor::dropin
