#include "dropin/argument_reader.h"

#include <exception>
#include <limits>
#include <optional>
#include <string>

#include "dropin/run_error.h"
#include "dropin/tokenizer.h"
#include "foundation/text.h"

namespace pelldor::dropin {
namespace {

// Blanks and tabs around a number (only quotes can put them there) are allowed.
template <typename Int>
Int ToNumber(std::string_view text, const char* what) {
    const auto first = text.find_first_not_of(" \t");
    const std::string_view trimmed =
        first == std::string_view::npos ? std::string_view() : text.substr(first, text.find_last_not_of(" \t") - first + 1);
    const auto value = ParseInteger(trimmed);
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

struct HostAndPort {
    std::string_view host;
    std::string_view port;
};

// The host before the first colon, or in brackets before "]:" (an IPv6 literal's colons
// cannot be the separator; such a token was always an argument error before, so the
// bracket form takes nothing away). Nullopt without a colon.
std::optional<HostAndPort> SplitServer(std::string_view server) {
    if (const auto bracketed = SplitBracketed(server); bracketed && bracketed->port) {
        return HostAndPort{bracketed->host, *bracketed->port};
    }
    const auto colon = server.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    return HostAndPort{server.substr(0, colon), server.substr(colon + 1)};
}

}  // namespace

bool ReadArguments(platform::Process& process, DebugLog& log, Pacer& pacer, RunState& state) {
    // The handler of every argument error: with logging on the run ends here, after its
    // line and half a second; without, ServerCount stays 0.
    const auto argumentError = [&] {
        if (!Logging(state)) return true;
        log.WriteLogLine({logline::ArgumentError(log)});
        pacer.Pause(500);
        return false;
    };
    Tokens tokens{};
    const std::string tail = process.CommandLineTail();
    try {
        SplitCommandLine(tail, process.CommandLineLength(tail), tokens);
    } catch (const std::exception&) {
        return argumentError();
    }
    // Outside the handlers: the log failing is the probe failing, not the arguments.
    if (Logging(state)) log.WriteLogLine({logline::CommandLine(log, tail)});
    try {
        state.TimeoutSeconds = SettingFrom(tokens[0], "timeout");
        state.RetryLimit = SettingFrom(tokens[1], "retry limit");
        // Only the third token names a server, however many follow it.
        std::int16_t count = 0;
        const std::string& server = tokens[2];
        if (!server.empty()) {
            count = CheckedAdd16(count, 1);
            if (const auto split = SplitServer(server)) {
                ServerEntry& row = state.Servers(count);
                row.Host = std::string(split->host);
                row.Port = ToNumber<std::int32_t>(split->port, "port");
                row.Status = 0;
            }
        }
        state.ServerCount = count;
    } catch (const std::exception&) {
        return argumentError();
    }
    return true;
}

}  // namespace pelldor::dropin
