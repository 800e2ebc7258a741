#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "check/check_verdict.h"
#include "platform/network.h"

// The command line of `pelldor check`, in the conventions of the monitoring plugins.
namespace pelldor::check {

// A threshold in the plugins' range syntax: "10" is 0 to 10, "10:" 10 or more, "~:10" at
// most 10, "10:20" 10 to 20, all inclusive, with a leading "@" for the alert inside.
[[nodiscard]] std::optional<Range> ParseRange(std::string_view text);

struct CheckOptions {
    std::string host;
    std::uint16_t port = 123;
    Range warning;
    Range critical;
    std::int64_t timeoutNanos = 0;
    // Added to the measured offset before the thresholds apply: the offset the server is
    // expected to keep from the local clock, with check_ntp_time's sign.
    std::int64_t timeOffsetNanos = 0;
    std::optional<platform::NetAddress::Family> family;
    // An offset that cannot be known (the server is not synchronised) is UNKNOWN, not
    // CRITICAL; silence stays CRITICAL.
    bool quiet = false;
    bool verbose = false;
    // Asked for the help text or the version instead of a check.
    bool help = false;
    bool version = false;
};

struct UsageError {
    std::string message;
};

// The arguments after the word "check".
[[nodiscard]] std::variant<CheckOptions, UsageError> ParseCheckOptions(std::span<const std::string> args);

}  // namespace pelldor::check
