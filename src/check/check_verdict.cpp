#include "check/check_verdict.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "foundation/text.h"

namespace pelldor::check {
namespace {

// Seconds with six decimals: microseconds, which is finer than any clock a monitoring
// system compares against.
std::string Seconds(std::int64_t nanos, bool sign) {
    char text[48];
    std::snprintf(text, sizeof text, sign ? "%+.6f" : "%.6f", static_cast<double>(nanos) / 1e9);
    return text;
}

}  // namespace

bool Alerts(const Range& range, double value) {
    const bool within = value >= range.start && value <= range.end;
    return range.inside ? within : !within;
}

State StateOfOffset(double offsetSeconds, const Range& warning, const Range& critical) {
    const double magnitude = std::fabs(offsetSeconds);
    if (Alerts(critical, magnitude)) return State::Critical;
    if (Alerts(warning, magnitude)) return State::Warning;
    return State::Ok;
}

Outcome OffsetOutcome(const exchange::Measurement& measured, std::int64_t timeOffsetNanos, const Range& warning,
                      const Range& critical) {
    const std::int64_t offset = measured.offsetNanos + timeOffsetNanos;
    // A server that held the request a hair longer than the exchange took reads a round
    // trip below zero: the wire took no time worth a number below zero.
    const std::int64_t delay = std::max<std::int64_t>(measured.delayNanos, 0);
    Outcome outcome;
    outcome.state = StateOfOffset(static_cast<double>(offset) / 1e9, warning, critical);
    outcome.text = "offset " + Seconds(offset, true) + " s from " + AddressText(measured.server);
    outcome.perfdata = "offset=" + Seconds(offset, false) + "s;" + warning.text + ";" + critical.text +
                       "; stratum=" + std::to_string(measured.stratum) + " delay=" + Seconds(delay, false) + "s";
    return outcome;
}

std::string StatusLine(const Outcome& outcome) {
    static constexpr const char* kNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    std::string line = "NTP ";
    line += kNames[static_cast<int>(outcome.state)];
    line += " - ";
    // Text from outside (a host name) can neither end the line nor start the performance
    // data early.
    for (const char c : Printable(outcome.text)) line += c == '|' ? std::string("\\x7c") : std::string(1, c);
    if (!outcome.perfdata.empty()) line += "|" + outcome.perfdata;
    return line + "\n";
}

}  // namespace pelldor::check
