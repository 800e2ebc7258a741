#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "exchange/exchange.h"

// What `pelldor check` concludes and the one line it prints.
namespace pelldor::check {

// The plugin's states, which are its exit statuses.
enum class State { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

// A threshold as the plugins' ranges give it: the values from start to end, inclusive.
struct Range {
    double start = 0;
    double end = 0;
    bool inside = false;  // "@": the values inside alert, not those outside
    std::string text;     // for the performance data, in its grammar
};

// Whether the value sets off the threshold: outside the range, or inside it with "@".
[[nodiscard]] bool Alerts(const Range& range, double value);

struct Outcome {
    State state = State::Unknown;
    std::string text;      // for a person: the offset and the server, or why there is none
    std::string perfdata;  // only when an offset was measured
};

// The state of a usable time, on the offset's magnitude: critical outside -c, else
// warning outside -w, else OK.
[[nodiscard]] State StateOfOffset(double offsetSeconds, const Range& warning, const Range& critical);

// The outcome of a measured offset, shifted by `timeOffsetNanos` before anything is judged
// or shown, with its performance data.
[[nodiscard]] Outcome OffsetOutcome(const exchange::Measurement& measured, std::int64_t timeOffsetNanos,
                                    const Range& warning, const Range& critical);

// "NTP OK - text|perfdata", ended by a newline: nothing between the text and the bar, which
// an engine would keep as part of the text.
[[nodiscard]] std::string StatusLine(const Outcome& outcome);

}  // namespace pelldor::check
