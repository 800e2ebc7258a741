#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "check/check_verdict.h"
#include "platform/network.h"

// The command line of `pelldor check`, in the conventions of the monitoring plugins.
namespace pelldor::check {

// A threshold in the plugins' range syntax: "10" is 0 to 10, "10:" 10 or more, "~:10" at
// most 10, "10:20" 10 to 20, all inclusive, with a leading "@" for the alert inside.
[[nodiscard]] std::optional<Range> ParseRange(std::string_view text);

// A server as -H names it: a name or an address, and its own port when it gives one.
struct ServerName {
    std::string host;
    std::optional<std::uint16_t> port;
};

enum class OutputFormat { Classic, MultiLine, OpenMetrics };

// A pair of thresholds; a check whose pair is not given is not made, its measure only shown.
struct Thresholds {
    std::optional<Range> warning;
    std::optional<Range> critical;
};

struct CheckOptions {
    std::vector<ServerName> servers;
    std::uint16_t port = 123;  // of each server that names none
    // On the offset: of the one server, or of the agreeing servers combined.
    Range warning;
    Range critical;
    // On each server's stratum, root distance and reference age.
    Thresholds stratum;
    Thresholds rootDistance;
    Thresholds referenceAge;
    // On the number of servers that agree.
    Thresholds agreeing;
    // Every address of a name is a server of its own, as when watching a pool.
    bool allAddresses = false;
    OutputFormat format = OutputFormat::Classic;
    std::int64_t timeoutNanos = 0;
    // Added to the measured offset before the thresholds apply: the offset the server is
    // expected to keep from the local clock, with check_ntp_time's sign.
    std::int64_t timeOffsetNanos = 0;
    std::optional<platform::NetAddress::Family> family;
    // Authenticated time: a key exchange on this port first, its certificate checked
    // against this file's authorities (the system's when empty), and thresholds on the
    // days it has left.
    bool nts = false;
    std::uint16_t ntsPort = 4460;
    std::string caFile;
    Thresholds certificate;
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
