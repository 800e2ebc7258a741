// The command line as untrusted text. The drop-in's tail: split it, read the settings and
// the server from it, and hold the outcome against a model of the rules built from other
// parts. The plugin's arguments: read its options, hold them against their invariants and a
// second reading, and run it on the fake network to see its state follow its thresholds.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "check/check_options.h"
#include "check/check_run.h"
#include "cmdline/argument_reader.h"
#include "cmdline/tokenizer.h"
#include "fuzz_check.h"
#include "foundation/debug_log.h"
#include "foundation/run_error.h"
#include "foundation/run_state.h"
#include "support/fake_network.h"
#include "support/fake_platform.h"

namespace pelldor::fuzz {
namespace {

using testing::FakePlatform;
using testing::ProcessEnd;

constexpr std::size_t kTailLimit = 32767;

// The harness's own loops over long tails need no coverage of their own; left uninstrumented,
// a run near the length limit costs a fraction of what it did.
#define PELLDOR_HARNESS_LOOP __attribute__((no_sanitize("coverage")))

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
PELLDOR_HARNESS_LOOP std::string ModelPrintable(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        // A run of printable characters goes over in one piece.
        const auto plain = std::find_if(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c > 0x7e; });
        out.append(text.begin(), plain);
        text.remove_prefix(static_cast<std::size_t>(plain - text.begin()));
        if (text.empty()) break;
        const auto c = static_cast<unsigned char>(text.front());
        text.remove_prefix(1);
        if (c == '\r' || c == '\n') {
            out += c == '\r' ? "\\r" : "\\n";
        } else {
            const char escaped[] = {'\\', 'x', kDigits[c / 16], kDigits[c % 16]};
            out.append(escaped, sizeof escaped);
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
    if (logging) out.log = std::move(os->files[os->LogPath()]);
    for (std::int16_t n = 2; n <= kServerRows; ++n) {
        Check(runState.Servers(n).Host.empty() && runState.Servers(n).Port == 0, "a server row past the first was filled");
    }
    runState = RunState{};
    return out;
}

PELLDOR_HARNESS_LOOP void CheckTokens(const std::string& tail, const Tokens& tokens) {
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
    // "[v6]:port" puts the host between the brackets; anything else splits at the first colon.
    const std::size_t bracket = server.starts_with('[') ? server.find("]:") : std::string::npos;
    const std::size_t colon = bracket != std::string::npos ? bracket + 1 : server.find(':');
    const std::string host = bracket != std::string::npos ? server.substr(1, bracket - 1) : server.substr(0, colon);
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
        Check(out.first.Host == host, "the host is not the text before the first colon, or between brackets");
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

// The tail as it is, then padded with blanks or tabs to `length`: the padded reading is held
// against the plain one and its log, which is all that may change, rather than checked in
// full again, which would halve the fuzzer's speed.
void CheckPadded(const std::string& tail, bool logging, std::size_t length, char blank) {
    const Outcome plain = CheckReading(tail, logging);
    if (tail.size() >= length) return;
    const std::string padding = tail + std::string(length - tail.size(), blank);
    const bool quoteOpen = std::count(tail.begin(), tail.end(), '"') % 2 != 0;
    const Outcome padded = Read(padding, logging);
    const std::string stamp = StartStamp();
    const std::string started = logging ? "\r\n" + stamp + " Start\r\n" : "";
    const std::string error = padded.ended ? stamp + " Argument Error\r\n" : "";
    if (length >= kTailLimit) {
        Check(padded.serverCount == 0 && padded.timeout == 0 && padded.retries == 0, "a tail too long to split set a value");
        Check(padded.ended == logging && padded.log == started + error, "a tail too long to split was not an argument error");
        return;
    }
    if (!quoteOpen) Check(SameSettings(plain, padded), "trailing blanks changed the reading");
    if (!logging) return;
    const std::string echoed = stamp + " CommandLine = ";
    const std::string_view log = padded.log;
    Check(log.starts_with(started) && log.substr(started.size()).starts_with(echoed) && log.ends_with("\r\n" + error) &&
              log.substr(started.size() + echoed.size(), log.size() - started.size() - echoed.size() - error.size() - 2) ==
                  ModelPrintable(padding),
          "the log is not the start, the tail and any argument error");
}

std::int16_t Int16At(std::string_view bytes, std::size_t at) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) << 8 |
                                                                static_cast<unsigned char>(bytes[at + 1])));
}

// A threshold range written a second way: where the bounds lie is read with strtod from
// the two sides of the first colon, which the plugin has already found well formed.
bool ModelAlerts(std::string text, double value) {
    const bool inside = !text.empty() && text.front() == '@';
    if (inside) text.erase(0, 1);
    const std::size_t colon = text.find(':');
    double low = 0;
    double high = 0;
    if (colon == std::string::npos) {
        high = std::strtod(text.c_str(), nullptr);
    } else {
        const std::string left = text.substr(0, colon);
        const std::string right = text.substr(colon + 1);
        low = left == "~" ? -HUGE_VAL : left.empty() ? 0 : std::strtod(left.c_str(), nullptr);
        high = right.empty() ? HUGE_VAL : std::strtod(right.c_str(), nullptr);
    }
    const bool within = low <= value && value <= high;
    return inside ? within : !within;
}

bool SameOptions(const check::CheckOptions& a, const check::CheckOptions& b) {
    const auto sameRange = [](const check::Range& x, const check::Range& y) {
        return x.start == y.start && x.end == y.end && x.inside == y.inside;
    };
    return a.host == b.host && a.port == b.port && sameRange(a.warning, b.warning) &&
           sameRange(a.critical, b.critical) && a.timeoutNanos == b.timeoutNanos && a.family == b.family &&
           a.verbose == b.verbose && a.help == b.help && a.version == b.version;
}

// The options written out again in one form of the plugin's own, which must read back the same.
std::vector<std::string> Canonical(const check::CheckOptions& o) {
    std::vector<std::string> args{"-H", "[" + o.host + "]", "--port=" + std::to_string(o.port),
                                  "--warning=" + o.warning.text, "-c", o.critical.text};
    char seconds[48];
    std::snprintf(seconds, sizeof seconds, "%lld.%09lld", static_cast<long long>(o.timeoutNanos / 1'000'000'000),
                  static_cast<long long>(o.timeoutNanos % 1'000'000'000));
    args.insert(args.end(), {"-t", seconds});
    if (o.family) args.push_back(*o.family == platform::NetAddress::Family::V4 ? "-4" : "--use-ipv6");
    if (o.verbose) args.push_back("-v");
    return args;
}

// `pelldor check` with the arguments between NUL octets, against a server whose clock is
// off by an amount the input picks.
void CheckPlugin(std::string_view rest, std::int64_t offsetNanos) {
    std::vector<std::string> args(1);
    for (const char c : rest) {
        if (c == '\0') {
            args.emplace_back();
        } else {
            args.back() += c;
        }
    }
    const auto parsed = check::ParseCheckOptions(args);
    testing::ScopedFakePlatform os(UnexpectedUse);
    testing::FakeNetwork net(*os);
    const std::string usage = std::string(check::Usage()) + "\n";

    if (const auto* error = std::get_if<check::UsageError>(&parsed)) {
        Check(!error->message.empty(), "a usage error without a message");
        Check(check::RunCheck(*os, args) == 3, "a usage error was not UNKNOWN");
        Check(os->standardOutput.starts_with("NTP UNKNOWN - ") && os->standardOutput.find('\n') ==
                                                                     os->standardOutput.size() - 1,
              "a usage error's status line is not one UNKNOWN line");
        Check(os->standardError == usage, "a usage error's hint is not the usage line");
        return;
    }
    const check::CheckOptions& options = std::get<check::CheckOptions>(parsed);
    if (options.help || options.version) {
        Check(check::RunCheck(*os, args) == 3 && !os->standardOutput.empty(), "help or version was not answered");
        return;
    }
    Check(!options.host.empty() && options.port >= 1, "options read without a host or a port");
    Check(options.timeoutNanos > 0 && options.timeoutNanos <= 86'400'000'000'000, "a timeout out of its range");
    for (const check::Range* range : {&options.warning, &options.critical}) {
        const auto again = check::ParseRange(range->text);
        Check(again && again->start <= again->end, "a threshold that does not read back as a range");
    }
    const auto reread = check::ParseCheckOptions(Canonical(options));
    Check(std::holds_alternative<check::CheckOptions>(reread) && SameOptions(std::get<check::CheckOptions>(reread), options),
          "the options written out again read back otherwise");

    // The virtual run waits in steps of about a second; long timeouts are left to the unit tests.
    if (options.timeoutNanos > 3'000'000'000) return;
    platform::NetAddress server;
    server.bytes = {127, 0, 0, 1};
    net.Resolve(options.host, {server});
    net.onSend = [&net, offsetNanos](testing::FakeChannelRecord& channel) {
        testing::FakeNetwork::Deliver(channel, net.ReplyTo(channel, offsetNanos));
    };
    const int status = check::RunCheck(*os, args);
    const std::string& line = os->standardOutput;
    Check(line.starts_with("NTP ") && line.find('\n') == line.size() - 1, "the plugin did not print one status line");
    if (options.family == platform::NetAddress::Family::V6) {
        Check(status == 3 && net.channels.empty(), "an IPv4 server was asked although only IPv6 was");
        return;
    }
    const double magnitude = std::fabs(static_cast<double>(offsetNanos) / 1e9);
    const int model = ModelAlerts(options.critical.text, magnitude)  ? 2
                      : ModelAlerts(options.warning.text, magnitude) ? 1
                                                                     : 0;
    Check(status == model, "the state does not follow the thresholds");
    Check(line.find(" |offset=") != std::string::npos, "a measured offset without its performance data");
    Check(options.verbose || os->standardError.empty(), "standard error written without -v");
}

}  // namespace
}  // namespace pelldor::fuzz

// The first byte picks logging (bit 0) and how the rest is read (bits 1-3): 0-4 as the
// drop-in's tail, padded with a few blanks or tabs (bit 4); 5-6 as two numbers and a
// server; 7 as the plugin's arguments, with the server's clock off by the top bits, except
// when they are all set, which pads one of a few tails, chosen by the next octet, to the
// length limit.
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
        if ((flags >> 4) != 15) {
            // From 8 s behind to 7 s ahead, with a fraction.
            CheckPlugin(rest, (static_cast<std::int64_t>(flags >> 4) - 8) * 1'000'000'000 + 123'456'789);
        } else if (!rest.empty()) {
            // One of a few tails that differ where the limit matters (an open quote, the last
            // slot, an argument error), padded to the longest tail that is read or up to 15
            // past it, where every tail fails. A tail of the fuzzer's own here would make
            // every content worth trying at the limit too, at a thousand times the cost.
            static constexpr std::string_view kTails[] = {
                "5 3 h:123", "5 3 \"h:123", "\"5\"\t3\t[::1]:123", "1 2 h:123 a b c d e f g h i j k l",
                "x 3 h:1",   "5 3 h:",       "",                     "5 3 h:123 \"",
            };
            const auto choice = static_cast<std::uint8_t>(rest[0]);
            CheckPadded(std::string(kTails[choice & 7]), logging, kTailLimit - 1 + (choice >> 4), blank);
        }
        break;
    }
    return 0;
}
