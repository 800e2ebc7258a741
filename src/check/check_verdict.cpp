#include "check/check_verdict.h"

#include <cmath>
#include <cstdio>

#include "foundation/debug_log.h"

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

State StateOfOffset(double offsetSeconds, const CheckOptions& options) {
    const double magnitude = std::fabs(offsetSeconds);
    if (options.critical.Alerts(magnitude)) return State::Critical;
    if (options.warning.Alerts(magnitude)) return State::Warning;
    return State::Ok;
}

Outcome OffsetOutcome(std::int64_t offsetNanos, std::int64_t delayNanos, int stratum,
                      const platform::NetAddress& server, const CheckOptions& options) {
    Outcome outcome;
    outcome.state = StateOfOffset(static_cast<double>(offsetNanos) / 1e9, options);
    outcome.text = "offset " + Seconds(offsetNanos, true) + " s from " + platform::AddressText(server);
    outcome.perfdata = "offset=" + Seconds(offsetNanos, false) + "s;" + options.warning.text + ";" +
                       options.critical.text + "; stratum=" + std::to_string(stratum) +
                       " delay=" + Seconds(delayNanos, false) + "s";
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
    if (!outcome.perfdata.empty()) line += " |" + outcome.perfdata;
    return line + "\n";
}

std::string SecondsText(std::int64_t nanos) {
    char text[48];
    std::snprintf(text, sizeof text, "%.9g s", static_cast<double>(nanos) / 1e9);
    return text;
}

}  // namespace pelldor::check
