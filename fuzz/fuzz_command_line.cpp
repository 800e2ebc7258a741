// The command-line tail as untrusted text: split it, read the settings and the server
// from it, and hold the outcome against a model of the rules built from other parts.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "cmdline/argument_reader.h"
#include "cmdline/tokenizer.h"
#include "fuzz_check.h"
#include "foundation/debug_log.h"
#include "foundation/run_error.h"
#include "foundation/run_state.h"
#include "support/fake_platform.h"

namespace pelldor::fuzz {
namespace {

using testing::FakePlatform;
using testing::ProcessEnd;

constexpr std::size_t kTailLimit = 32767;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The integer rule written a second way, on top of std::from_chars.
std::optional<long long> ModelInteger(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const std::string digits = (negative ? "-" : "") + std::string(text);
    long long value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

// The log's form of text from outside, written a second way: printable ASCII as it is, CR
// and LF as \r and \n, any other byte as \xHH.
std::string ModelPrintable(std::string_view text) {
    std::string out;
    for (const unsigned char c : text) {
        char escaped[8];
        if (c >= 0x20 && c <= 0x7e) {
            out += static_cast<char>(c);
        } else if (c == '\r' || c == '\n') {
            out += c == '\r' ? "\\r" : "\\n";
        } else {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

template <typename Int>
std::optional<Int> ModelNumber(std::string_view text) {
    const auto value = ModelInteger(text);
    if (!value || *value < std::numeric_limits<Int>::min() || *value > std::numeric_limits<Int>::max()) {
        return std::nullopt;
    }
    return static_cast<Int>(*value);
}

std::string StartStamp() {
    const auto seconds = FakePlatform::kStartUnixNanos / 1'000'000'000 + FakePlatform::kUtcOffsetSeconds;
    return pelldor::platform::FormatTimestamp(pelldor::platform::FromSerialSeconds(seconds));
}

struct Outcome {
    bool ended = false;
    std::int16_t timeout = 0;
    std::int16_t retries = 0;
    std::int16_t serverCount = 0;
    ServerEntry first;
    std::string log;
};

Outcome Read(const std::string& tail, bool logging) {
    testing::ScopedFakePlatform os(UnexpectedUse);
    os->tail = tail;
    if (logging) os->files[os->LogPath()] = "";
    runState = RunState{};
    SwitchTest();
    Check(Logging() == logging, "the switch file did not decide logging");

    Outcome out;
    try {
        ReadArguments();
    } catch (const ProcessEnd& end) {
        Check(end.way == ProcessEnd::Way::Normal, "the argument reader ended the run other than normally");
        out.ended = true;
    }
    out.timeout = runState.TimeoutSeconds;
    out.retries = runState.RetryLimit;
    out.serverCount = runState.ServerCount;
    out.first = runState.Servers(1);
    for (const auto& [path, text] : os->files) Check(path == os->LogPath(), "a file other than the log was written");
    Check(logging || os->appendCalls == 0, "the log was written although logging is off");
    if (logging) out.log = os->files[os->LogPath()];
    for (std::int16_t n = 2; n <= kServerRows; ++n) {
        Check(runState.Servers(n).Host.empty() && runState.Servers(n).Port == 0, "a server row past the first was filled");
    }
    runState = RunState{};
    return out;
}

void CheckTokens(const std::string& tail, const Tokens& tokens) {
    std::string kept;
    std::size_t total = 0;
    for (const std::string& token : tokens) {
        Check(token.find('"') == std::string::npos, "a token holds a double quote");
        total += token.size();
        for (const char c : token) {
            if (!IsBlank(c)) kept += c;
        }
    }
    Check(total <= tail.size(), "the tokens hold more characters than the tail");
    std::string expected;
    for (const char c : tail) {
        if (!IsBlank(c) && c != '"') expected += c;
    }
    Check(kept == expected, "a character other than a blank, a tab or a quote was lost, added or moved");

    if (tail.find('"') != std::string::npos) return;
    // Without quotes every blank or tab ends a token until the last slot, which takes the rest.
    std::size_t from = 0;
    for (std::size_t slot = 0; slot < tokens.size(); ++slot) {
        if (from > tail.size()) {
            Check(tokens[slot].empty(), "a slot past the end of the tail is not empty");
            continue;
        }
        const std::size_t blank = slot + 1 < tokens.size() ? tail.find_first_of(" \t", from) : std::string::npos;
        const std::size_t end = blank == std::string::npos ? tail.size() : blank;
        Check(tokens[slot] == tail.substr(from, end - from), "an unquoted tail was split wrongly");
        from = blank == std::string::npos ? tail.size() + 1 : blank + 1;
    }
}

// Checks one reading of the tail and returns it, for comparison with other readings.
Outcome CheckReading(const std::string& tail, bool logging) {
    Tokens tokens{};
    bool overflow = false;
    try {
        SplitCommandLine(tail, tail.size(), tokens);
    } catch (const RunError& error) {
        Check(error.kind() == ErrorKind::Overflow, "the tokenizer failed with an error other than overflow");
        overflow = true;
    }
    Check(overflow == (tail.size() >= kTailLimit), "the tokenizer's overflow does not match the tail's length");

    const Outcome out = Read(tail, logging);
    Check(out.serverCount == 0 || out.serverCount == 1, "ServerCount is neither 0 nor 1");
    Check(!out.ended || logging, "an argument error ended the run with logging off");
    // The clock stands still until the pause after an argument error, so every entry
    // carries the start time.
    const std::string stamp = StartStamp();
    const std::string started = logging ? "\r\n" + stamp + " Start\r\n" : "";
    const std::string error = out.ended ? stamp + " Argument Error\r\n" : "";

    if (overflow) {
        Check(out.serverCount == 0 && out.timeout == 0 && out.retries == 0, "a tail too long to split set a value");
        Check(out.ended == logging, "a tail too long to split was not an argument error");
        Check(out.log.starts_with(started) && out.log.ends_with(error), "the log of a tail too long to split");
        return out;
    }
    CheckTokens(tail, tokens);
    const std::string echoed = logging ? stamp + " CommandLine = " + ModelPrintable(tail) + "\r\n" : "";
    Check(out.log == started + echoed + error, "the log is not the start, the tail and any argument error");

    const auto timeout = tokens[0].empty() ? std::optional<std::int16_t>(0) : ModelNumber<std::int16_t>(tokens[0]);
    const auto retries = tokens[1].empty() ? std::optional<std::int16_t>(0) : ModelNumber<std::int16_t>(tokens[1]);
    const std::string& server = tokens[2];
    const std::size_t colon = server.find(':');
    const std::string_view portText = colon == std::string::npos ? std::string_view{} : std::string_view(server).substr(colon + 1);
    const auto port = ModelNumber<std::int32_t>(portText);
    const bool valid = timeout && retries && (colon == std::string::npos || port);

    for (const std::string_view text : {std::string_view(tokens[0]), std::string_view(tokens[1]), portText}) {
        Check(ParseInteger(text) == ModelInteger(text), "ParseInteger disagrees with the model");
    }

    if (!valid) {
        Check(out.serverCount == 0, "an argument error left a server counted");
        Check(out.ended == logging, "an argument error was not handled as such");
        return out;
    }
    Check(!out.ended, "valid arguments ended the run");
    Check(out.timeout == *timeout, "the timeout was not read back");
    Check(out.retries == *retries, "the retry limit was not read back");
    Check(out.serverCount == (server.empty() ? 0 : 1), "ServerCount does not follow the third token");
    if (colon != std::string::npos) {
        Check(out.first.Host == server.substr(0, colon), "the host is not the text before the first colon");
        Check(out.first.Port == *port, "the port was not read back");
    } else {
        Check(out.first.Host.empty() && out.first.Port == 0, "a server row was filled without a colon");
    }
    return out;
}

bool SameSettings(const Outcome& a, const Outcome& b) {
    return a.ended == b.ended && a.timeout == b.timeout && a.retries == b.retries &&
           a.serverCount == b.serverCount && a.first.Host == b.first.Host && a.first.Port == b.first.Port;
}

void CheckPadded(const std::string& tail, bool logging, std::size_t length, char blank) {
    const Outcome plain = CheckReading(tail, logging);
    if (tail.size() >= length) return;
    const Outcome padded = CheckReading(tail + std::string(length - tail.size(), blank), logging);
    const bool quoteOpen = std::count(tail.begin(), tail.end(), '"') % 2 != 0;
    if (length < kTailLimit && !quoteOpen) Check(SameSettings(plain, padded), "trailing blanks changed the reading");
}

std::int16_t Int16At(std::string_view bytes, std::size_t at) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) << 8 |
                                                                static_cast<unsigned char>(bytes[at + 1])));
}

}  // namespace
}  // namespace pelldor::fuzz

// The first byte picks logging (bit 0), how the rest becomes a tail (bits 1-3) and, for
// the shaped tails, a separator or a length (bits 4-7). Tails near the length limit are
// slow, so they get one pattern in eight.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pelldor::fuzz;
    if (size == 0) return 0;
    const std::uint8_t flags = data[0];
    const bool logging = (flags & 1) != 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);

    const char blank = (flags & 16) != 0 ? '\t' : ' ';
    switch ((flags >> 1) & 7) {
    default:
        // Trailing blanks change nothing while no quote is open.
        CheckPadded(std::string(rest), logging, rest.size() + 1 + (flags >> 4), blank);
        break;
    case 5:
    case 6: {
        // "A B C" with A and B anywhere in the 16-bit range, maybe quoted, tab or blank apart.
        if (rest.size() < 4) return 0;
        const std::int16_t a = Int16At(rest, 0);
        const std::int16_t b = Int16At(rest, 2);
        std::string server;
        for (const char c : rest.substr(4)) {
            if (!IsBlank(c) && c != '"') server += c;
        }
        const std::string first = (flags & 32) != 0 ? "\"" + std::to_string(a) + "\"" : std::to_string(a);
        const std::string tail = first + blank + std::to_string(b) + blank + server;
        const Outcome out = CheckReading(tail, logging);
        if (server.find(':') == std::string::npos) {
            Check(!out.ended && out.timeout == a && out.retries == b, "plain numbers were not read back");
            Check(out.serverCount == (server.empty() ? 0 : 1), "a plain server token was not counted");
        }
        break;
    }
    case 7:
        // Up to the length limit as above; from there on the tail always fails.
        CheckPadded(std::string(rest), logging, kTailLimit - 8 + (flags >> 4), blank);
        break;
    }
    return 0;
}
