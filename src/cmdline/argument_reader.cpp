#include "cmdline/argument_reader.h"

#include <exception>
#include <limits>
#include <string>

#include "cmdline/tokenizer.h"
#include "foundation/debug_log.h"
#include "foundation/run_error.h"
#include "foundation/run_state.h"

namespace pelldor {
namespace {

template <typename Int>
Int ToNumber(std::string_view text, const char* what) {
    const auto value = ParseInteger(text);
    if (!value) {
        throw RunError(ErrorKind::Conversion, std::string(what) + " \"" + std::string(text) + "\" is not a number");
    }
    if (*value < std::numeric_limits<Int>::min() || *value > std::numeric_limits<Int>::max()) {
        throw RunError(ErrorKind::Overflow, std::string(what) + " " + std::to_string(*value) + " is out of range");
    }
    return static_cast<Int>(*value);
}

// An empty setting token reads as 0; an empty port does not.
std::int16_t SettingFrom(const std::string& token, const char* what) {
    return token.empty() ? std::int16_t{0} : ToNumber<std::int16_t>(token, what);
}

// Where host and port lie in a server token: the host before the first colon, or between
// the brackets of "[v6 literal]:port". Nullopt without a colon.
struct ServerSplit {
    std::size_t hostStart = 0;
    std::size_t hostLength = 0;
    std::size_t portStart = 0;
};

std::optional<ServerSplit> SplitServer(std::string_view server) {
    // "[2001:db8::1]:123": an IPv6 literal's colons cannot be the separator. Such a token
    // was always an argument error before, so the bracket form takes nothing away.
    if (server.starts_with('[')) {
        if (const auto close = server.find("]:"); close != std::string_view::npos) {
            return ServerSplit{1, close - 1, close + 2};
        }
    }
    const auto colon = server.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    return ServerSplit{0, colon, colon + 1};
}

}  // namespace

std::optional<long long> ParseInteger(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;
    text = text.substr(first, text.find_last_not_of(" \t") - first + 1);

    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // Accumulated as a negative number so that the most negative value fits.
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const int digit = c - '0';
        if (value < (std::numeric_limits<long long>::min() + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == std::numeric_limits<long long>::min()) return std::nullopt;
        value = -value;
    }
    return value;
}

void ReadArguments() {
    Tokens tokens{};
    std::int16_t count = 0;
    try {
        const std::string tail = Os().CommandLineTail();
        SplitCommandLine(tail, Os().CommandLineLength(tail), tokens);
        if (Logging()) WriteLogLine({logline::CommandLine(tail)});

        runState.TimeoutSeconds = SettingFrom(tokens[0], "timeout");
        runState.RetryLimit = SettingFrom(tokens[1], "retry limit");

        // Only the third token names a server, however many follow it.
        const std::string& server = tokens[2];
        if (!server.empty()) {
            count = CheckedAdd16(count, 1);
            if (const auto split = SplitServer(server)) {
                ServerEntry& row = runState.Servers(count);
                row.Host = server.substr(split->hostStart, split->hostLength);
                row.Port = ToNumber<std::int32_t>(std::string_view(server).substr(split->portStart), "port");
                row.Status = 0;
            }
        }
        runState.ServerCount = count;
    } catch (const std::exception&) {
        if (Logging()) {
            WriteLogLine({logline::ArgumentError()});
            Pause(500);
            Os().EndNormally();
        }
    }
}

}  // namespace pelldor
