#include "check/check_options.h"

#include <getopt.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "foundation/text.h"

namespace pelldor::check {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// The longest wait an option may ask for, a day: far beyond any monitoring interval.
constexpr double kMostSeconds = 86400;

// The options and their long names, as getopt_long takes them: a long name may be given by
// any unique prefix, its value after "=" or as the next argument.
// The options that have no letter.
enum : char { kRootDistance = 1, kReferenceAge, kAllAddresses, kOutputFormat, kNts, kNtsPort, kCaFile, kCertificate };
constexpr char kShortOptions[] = ":H:p:w:c:W:C:m:n:t:o:46qvhV";
const option kLongOptions[] = {
    {"hostname", required_argument, nullptr, 'H'},
    {"port", required_argument, nullptr, 'p'},
    {"warning", required_argument, nullptr, 'w'},
    {"critical", required_argument, nullptr, 'c'},
    {"stratum-warning", required_argument, nullptr, 'W'},
    {"stratum-critical", required_argument, nullptr, 'C'},
    {"root-distance", required_argument, nullptr, kRootDistance},
    {"reference-age", required_argument, nullptr, kReferenceAge},
    {"twarn", required_argument, nullptr, 'm'},
    {"tcrit", required_argument, nullptr, 'n'},
    {"all-addresses", no_argument, nullptr, kAllAddresses},
    {"output-format", required_argument, nullptr, kOutputFormat},
    {"nts", no_argument, nullptr, kNts},
    {"nts-port", required_argument, nullptr, kNtsPort},
    {"ca-file", required_argument, nullptr, kCaFile},
    {"certificate", required_argument, nullptr, kCertificate},
    {"timeout", required_argument, nullptr, 't'},
    {"time-offset", required_argument, nullptr, 'o'},
    {"use-ipv4", no_argument, nullptr, '4'},
    {"use-ipv6", no_argument, nullptr, '6'},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// WARN[,CRIT], each a range; either may be left out ("1,", ",2").
std::optional<Thresholds> PairOf(const std::string& value) {
    const auto comma = value.find(',');
    const std::string warning = value.substr(0, comma);
    const std::string critical = comma == std::string::npos ? "" : value.substr(comma + 1);
    Thresholds pair;
    if (!warning.empty() && !(pair.warning = ParseRange(warning))) return std::nullopt;
    if (!critical.empty() && !(pair.critical = ParseRange(critical))) return std::nullopt;
    if (!pair.warning && !pair.critical) return std::nullopt;
    return pair;
}

// How many long names start with the one given before any "=".
int LongNamesStartingWith(std::string_view given) {
    given = given.substr(0, given.find('='));
    int count = 0;
    for (const option* o = kLongOptions; o->name != nullptr; ++o) count += std::string_view(o->name).starts_with(given) ? 1 : 0;
    return count;
}

// A number of seconds: a plain decimal, nothing else, within a day either way.
std::optional<std::int64_t> SecondsIn(const std::string& value, double least, double most) {
    const auto seconds = ParseDecimal(value);
    if (!seconds || *seconds < least || *seconds > most) return std::nullopt;
    return std::llround(*seconds * 1e9);
}

// Takes one option's value into the options; a message when the value is no good.
std::optional<std::string> Apply(CheckOptions& options, char name, const std::string& value) {
    switch (name) {
    case 'H': {
        // "[2001:db8::1]" or "[2001:db8::1]:123", as the drop-in writes it; "host:123" sets
        // the port too, as a habit from the drop-in's HOST:PORT; a bare IPv6 address, with
        // two colons or more, leaves the port to -p.
        std::string_view host = value;
        std::optional<std::string_view> port;
        if (const auto bracketed = SplitBracketed(value)) {
            host = bracketed->host;
            port = bracketed->port;
        } else if (const auto colon = host.find(':'); colon != std::string_view::npos && host.rfind(':') == colon) {
            port = host.substr(colon + 1);
            host = host.substr(0, colon);
        }
        if (host.empty()) return "the host is empty";
        ServerName server{std::string(host), std::nullopt};
        if (port) {
            const auto number = ParseInteger(*port);
            if (!number || *number < 1 || *number > 65535) {
                return "the port in \"" + value + "\" is not a number from 1 to 65535";
            }
            server.port = static_cast<std::uint16_t>(*number);
        }
        // Each -H adds a server, once.
        for (const ServerName& known : options.servers) {
            if (known.host == server.host && known.port == server.port) return std::nullopt;
        }
        options.servers.push_back(std::move(server));
        return std::nullopt;
    }
    case 'p': {
        const auto port = ParseInteger(value);
        if (!port || *port < 1 || *port > 65535) return "the port \"" + value + "\" is not a number from 1 to 65535";
        options.port = static_cast<std::uint16_t>(*port);
        return std::nullopt;
    }
    case 'w':
    case 'c': {
        auto range = ParseRange(value);
        if (!range) return "the threshold \"" + value + "\" is not a range";
        (name == 'w' ? options.warning : options.critical) = std::move(*range);
        return std::nullopt;
    }
    case 'W':
    case 'C':
    case 'm':
    case 'n': {
        auto range = ParseRange(value);
        if (!range) return "the threshold \"" + value + "\" is not a range";
        Thresholds& pair = name == 'W' || name == 'C' ? options.stratum : options.agreeing;
        (name == 'W' || name == 'm' ? pair.warning : pair.critical) = std::move(*range);
        return std::nullopt;
    }
    case kRootDistance:
    case kReferenceAge: {
        const auto pair = PairOf(value);
        if (!pair) return "the thresholds \"" + value + "\" are not WARN[,CRIT] ranges of seconds";
        (name == kRootDistance ? options.rootDistance : options.referenceAge) = *pair;
        return std::nullopt;
    }
    case kAllAddresses:
        options.allAddresses = true;
        return std::nullopt;
    case kOutputFormat:
        if (value == "classic") {
            options.format = OutputFormat::Classic;
        } else if (value == "multi-line") {
            options.format = OutputFormat::MultiLine;
        } else if (value == "openmetrics") {
            options.format = OutputFormat::OpenMetrics;
        } else {
            return "the output format \"" + value + "\" is none of classic, multi-line, openmetrics";
        }
        return std::nullopt;
    case kNts:
        options.nts = true;
        return std::nullopt;
    case kNtsPort: {
        const auto port = ParseInteger(value);
        if (!port || *port < 1 || *port > 65535) return "the NTS port \"" + value + "\" is not a number from 1 to 65535";
        options.ntsPort = static_cast<std::uint16_t>(*port);
        return std::nullopt;
    }
    case kCaFile:
        if (value.empty()) return "the CA file is empty";
        options.caFile = value;
        return std::nullopt;
    case kCertificate: {
        // Days left, as check_http's -C has them: fewer than WARN warn, fewer than CRIT are
        // critical.
        const std::string problem = "the certificate's days \"" + value + "\" are not WARN[,CRIT] numbers of days";
        const auto atLeast = [](const std::string& days) -> std::optional<Range> {
            const auto number = ParseDecimal(days);
            return number && *number >= 0 ? ParseRange(days + ":") : std::nullopt;
        };
        const auto comma = value.find(',');
        const std::string warning = value.substr(0, comma);
        const std::string critical = comma == std::string::npos ? "" : value.substr(comma + 1);
        Thresholds pair;
        if (!warning.empty() && !(pair.warning = atLeast(warning))) return problem;
        if (!critical.empty() && !(pair.critical = atLeast(critical))) return problem;
        if (!pair.warning && !pair.critical) return problem;
        options.certificate = pair;
        return std::nullopt;
    }
    case 't': {
        // Below a millisecond no exchange can even begin; a day is past any monitoring.
        const auto nanos = SecondsIn(value, 0.001, kMostSeconds);
        if (!nanos) return "the timeout \"" + value + "\" is not a number of seconds from 0.001 to 86400";
        options.timeoutNanos = *nanos;
        return std::nullopt;
    }
    case 'o': {
        const auto nanos = SecondsIn(value, -kMostSeconds, kMostSeconds);
        if (!nanos) return "the time offset \"" + value + "\" is not a number of seconds from -86400 to 86400";
        options.timeOffsetNanos = *nanos;
        return std::nullopt;
    }
    case 'q':
        options.quiet = true;
        return std::nullopt;
    case '4':
        options.family = platform::NetAddress::Family::V4;
        return std::nullopt;
    case '6':
        options.family = platform::NetAddress::Family::V6;
        return std::nullopt;
    case 'v':
        options.verbose = true;
        return std::nullopt;
    case 'h':
        options.help = true;
        return std::nullopt;
    case 'V':
        options.version = true;
        return std::nullopt;
    default:
        return "unknown option";
    }
}

}  // namespace

namespace {

// A bound as the plugins' grammar writes numbers, from the digits given: no "+", no leading
// or trailing zeros, and no rounding, so that it reads back as the very number given.
std::string Bound(std::string_view given) {
    const bool negative = given.starts_with('-');
    if (given.starts_with('-') || given.starts_with('+')) given.remove_prefix(1);
    const auto point = given.find('.');
    std::string whole(given.substr(0, point));
    std::string fraction(point == std::string_view::npos ? "" : given.substr(point + 1));
    whole.erase(0, whole.find_first_not_of('0'));
    fraction.erase(fraction.find_last_not_of('0') + 1);
    const std::string text = (whole.empty() ? "0" : whole) + (fraction.empty() ? "" : "." + fraction);
    return negative && text != "0" ? "-" + text : text;
}

}  // namespace

std::optional<Range> ParseRange(std::string_view text) {
    Range range;
    if (text.starts_with('@')) {
        range.inside = true;
        text.remove_prefix(1);
    }
    const auto colon = text.find(':');
    const std::string_view from = colon == std::string_view::npos ? "" : text.substr(0, colon);
    const std::string_view to = colon == std::string_view::npos ? text : text.substr(colon + 1);
    // A range names at least one of its bounds.
    if (to.empty() && (colon == std::string_view::npos || from.empty())) return std::nullopt;
    if (from == "~") {
        range.start = -kInfinity;
    } else if (!from.empty()) {
        const auto start = ParseDecimal(from);
        if (!start) return std::nullopt;
        range.start = *start;
    }
    if (to.empty()) {
        range.end = kInfinity;
    } else {
        const auto end = ParseDecimal(to);
        if (!end) return std::nullopt;
        range.end = *end;
    }
    if (range.start > range.end) return std::nullopt;
    // The form the performance data's grammar takes, whatever form it was given in ("+.5"
    // is "0.5", ":5" is "5").
    const std::string end = to.empty() ? "" : Bound(to);
    const std::string start = from == "~" ? "~" : from.empty() ? "0" : Bound(from);
    range.text = (range.inside ? "@" : "") + (range.start == 0 && !end.empty() ? end : start + ":" + end);
    return range;
}

std::variant<CheckOptions, UsageError> ParseCheckOptions(std::span<const std::string> args) {
    CheckOptions options;
    options.warning = *ParseRange("60");
    options.critical = *ParseRange("120");
    options.timeoutNanos = 10'000'000'000;
    const auto fail = [](std::string message) { return UsageError{std::move(message)}; };

    // getopt_long wants the C form, with a program name first, and may reorder it.
    std::vector<std::string> copies{"check"};
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& copy : copies) argv.push_back(copy.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(copies.size());
    // Its state is the C library's: begun afresh for each command line, and no messages of
    // its own on standard error.
    optind = 0;
    opterr = 0;
    for (;;) {
        const int before = optind == 0 ? 1 : optind;
        const int name = getopt_long(argc, argv.data(), kShortOptions, kLongOptions, nullptr);
        if (name == -1) break;
        // What was given, for a message: the long option as typed, or the short letter.
        const std::string given = before < argc ? argv[std::min(optind, argc) - 1] : "";
        const bool isLong = given.starts_with("--");
        const std::string shown = isLong ? given.substr(0, given.find('=')) : std::string("-") + static_cast<char>(optopt);
        // A value given with "=" cannot be missing: the option takes none. glibc reports
        // that as '?', the BSD getopt of mingw-w64 as ':'.
        const bool takesNone = isLong && given.find('=') != std::string::npos;
        if (name == ':') return fail("option " + shown + (takesNone ? " takes no value" : " needs a value"));
        if (name == '?') {
            if (!isLong) return fail("unknown option " + shown);
            if (optopt != 0) return fail("option " + shown + " takes no value");
            const int matches = LongNamesStartingWith(std::string_view(given).substr(2));
            return fail(matches > 1 ? "option " + shown + " is ambiguous" : "unknown option " + shown);
        }
        if (auto problem = Apply(options, static_cast<char>(name), optarg != nullptr ? optarg : "")) return fail(*problem);
    }
    if (optind < argc) return fail("unexpected argument \"" + std::string(argv[optind]) + "\"");
    if (options.help || options.version) return options;
    if (options.servers.empty()) return fail("no host: -H HOST is needed");
    if (!options.nts && (options.ntsPort != 4460 || !options.caFile.empty() || options.certificate.warning ||
                         options.certificate.critical)) {
        return fail("--nts-port, --ca-file and --certificate go with --nts");
    }
    if (options.nts && options.allAddresses) return fail("--all-addresses does not go with --nts: each name has its own key exchange");
    return options;
}

}  // namespace pelldor::check
