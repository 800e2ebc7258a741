#include "timequery/time_client.h"

#include "platform/platform.h"

namespace pelldor::timequery {

void TimeClient::RaiseError(ClientError code, std::string description) {
    platform::Current().Events().Post([this, code, text = std::move(description)] {
        if (errorHandler_) errorHandler_(static_cast<std::int16_t>(code), text);
    });
}

}  // namespace pelldor::timequery
