#include "check/check_options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "foundation/text.h"

namespace pelldor::check {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// The longest wait an option may ask for, a day: far beyond any monitoring interval.
constexpr double kMostSeconds = 86400;

struct KnownOption {
    char shortName;
    std::string_view longName;
    bool takesValue;
};

constexpr KnownOption kKnownOptions[] = {
    {'H', "hostname", true}, {'p', "port", true},      {'w', "warning", true},  {'c', "critical", true},
    {'t', "timeout", true},  {'4', "use-ipv4", false}, {'6', "use-ipv6", false}, {'v', "verbose", false},
    {'h', "help", false},    {'V', "version", false},
};

const KnownOption* FindShort(char name) {
    const auto it = std::ranges::find(kKnownOptions, name, &KnownOption::shortName);
    return it == std::end(kKnownOptions) ? nullptr : it;
}

const KnownOption* FindLong(std::string_view name) {
    const auto it = std::ranges::find(kKnownOptions, name, &KnownOption::longName);
    return it == std::end(kKnownOptions) ? nullptr : it;
}

// Takes one option's value into the options; a message when the value is no good.
std::optional<std::string> Apply(CheckOptions& options, char name, const std::string& value) {
    switch (name) {
    case 'H': {
        // "[2001:db8::1]" as well as the bare address, as the drop-in writes it.
        const auto bracketed = SplitBracketed(value);
        const std::string host(bracketed && !bracketed->port ? bracketed->host : std::string_view(value));
        if (host.empty()) return "the host is empty";
        options.host = host;
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
    case 't': {
        const auto seconds = ParseDecimal(value);
        if (!seconds || *seconds <= 0 || *seconds > kMostSeconds) {
            return "the timeout \"" + value + "\" is not a number of seconds above 0 and at most 86400";
        }
        options.timeoutNanos = std::llround(*seconds * 1e9);
        return std::nullopt;
    }
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

std::optional<Range> ParseRange(std::string_view text) {
    Range range;
    range.text = std::string(text);
    if (text.starts_with('@')) {
        range.inside = true;
        text.remove_prefix(1);
    }
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) {
        const auto end = ParseDecimal(text);
        if (!end) return std::nullopt;
        range.end = *end;
    } else {
        const std::string_view from = text.substr(0, colon);
        const std::string_view to = text.substr(colon + 1);
        // A range names at least one of its bounds.
        if (from.empty() && to.empty()) return std::nullopt;
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
    }
    if (range.start > range.end) return std::nullopt;
    return range;
}

std::variant<CheckOptions, UsageError> ParseCheckOptions(std::span<const std::string> args) {
    CheckOptions options;
    options.warning = *ParseRange("60");
    options.critical = *ParseRange("120");
    options.timeoutNanos = 10'000'000'000;
    const auto fail = [](std::string message) { return UsageError{std::move(message)}; };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            if (i + 1 < args.size()) return fail("unexpected argument \"" + args[i + 1] + "\"");
            break;
        }
        if (arg.starts_with("--")) {
            const auto equals = arg.find('=');
            const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            const KnownOption* known = FindLong(name);
            if (known == nullptr) return fail("unknown option --" + name);
            std::string value;
            if (known->takesValue) {
                if (equals != std::string::npos) {
                    value = arg.substr(equals + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    return fail("option --" + name + " needs a value");
                }
            } else if (equals != std::string::npos) {
                return fail("option --" + name + " takes no value");
            }
            if (auto problem = Apply(options, known->shortName, value)) return fail(*problem);
            continue;
        }
        if (arg.size() < 2 || arg.front() != '-') return fail("unexpected argument \"" + arg + "\"");
        // A group of flags, "-4v", of which the last may take a value: "-vH host", "-Hhost".
        for (std::size_t at = 1; at < arg.size(); ++at) {
            const KnownOption* known = FindShort(arg[at]);
            if (known == nullptr) return fail(std::string("unknown option -") + arg[at]);
            std::string value;
            if (known->takesValue) {
                if (at + 1 < arg.size()) {
                    value = arg.substr(at + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    return fail(std::string("option -") + arg[at] + " needs a value");
                }
                at = arg.size();
            }
            if (auto problem = Apply(options, known->shortName, value)) return fail(*problem);
        }
    }
    if (options.help || options.version) return options;
    if (options.host.empty()) return fail("no host: -H HOST is needed");
    return options;
}

}  // namespace pelldor::check
