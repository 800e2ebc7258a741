#include "dropin/sntp_client.h"

namespace pelldor::dropin {

void SntpClient::BeginQuery() {
    exchange_.reset();
    done_ = false;
    received_.reset();
    exchange::Plan plan;
    plan.host = host_;
    plan.port = port_;
    // A timeout of 0 or less gives the component no limit of its own.
    plan.timeoutNanos = std::int64_t{timeoutSeconds_} * kNanosPerSecond;
    exchange_ = client_.Begin(std::move(plan), [this](const exchange::Result& result) {
        done_ = true;
        received_ = result.time;
        if (result.notice != exchange::Notice::None) RaiseError(static_cast<std::int16_t>(result.notice), result.text);
    });
}

}  // namespace pelldor::dropin
