#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "check/check_options.h"
#include "platform/net.h"

// What `pelldor check` concludes and the one line it prints.
namespace pelldor::check {

// The plugin's states, which are its exit statuses.
enum class State { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

struct Outcome {
    State state = State::Unknown;
    std::string text;      // for a person: the offset and the server, or why there is none
    std::string perfdata;  // only when an offset was measured
};

// The state of a usable time: critical outside -c, else warning outside -w, else OK.
[[nodiscard]] State StateOfOffset(double offsetSeconds, const CheckOptions& options);

// The outcome of a measured offset, with its performance data.
[[nodiscard]] Outcome OffsetOutcome(std::int64_t offsetNanos, std::int64_t delayNanos, int stratum,
                                    const platform::NetAddress& server, const CheckOptions& options);

// "NTP OK - text |perfdata", ended by a newline.
[[nodiscard]] std::string StatusLine(const Outcome& outcome);

// "10 s", "0.25 s".
[[nodiscard]] std::string SecondsText(std::int64_t nanos);

}  // namespace pelldor::check
