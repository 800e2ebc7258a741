#include "timequery/time_client.h"

namespace pelldor::timequery {

void TimeClient::RaiseError(ClientError code, std::string description) {
    events_.Post([this, code, text = std::move(description)] {
        if (errorHandler_) errorHandler_(static_cast<std::int16_t>(code), text);
    });
}

}  // namespace pelldor::timequery
