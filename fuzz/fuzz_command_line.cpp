// The command line as untrusted text: the drop-in's tail, read with the log on, off or
// failing, against a model of its rules built from other parts; the plugin's options against
// their invariants and a second reading, its state against its thresholds.
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
#include <tuple>
#include <variant>
#include <vector>

#include "check/check_options.h"
#include "check/check_run.h"
#include "dropin/argument_reader.h"
#include "dropin/debug_log.h"
#include "dropin/run_error.h"
#include "dropin/tokenizer.h"
#include "foundation/help_text.h"
#include "foundation/text.h"
#include "fuzz_check.h"
#include "support/fake_network.h"

namespace pelldor::fuzz {
namespace {

using namespace pelldor::dropin;
using testing::FakeClock;

constexpr std::size_t kTailLimit = 32767;

// The harness's own loops over long tails need no coverage of their own; left uninstrumented,
// a run near the length limit costs a fraction of what it did.
#define PELLDOR_HARNESS_LOOP __attribute__((no_sanitize("coverage")))

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The integer rule written a second way, on top of std::from_chars: a sign, then digits only.
std::optional<long long> ModelInteger(std::string_view text) {
    const std::string_view number = text.substr(text.starts_with('+') ? 1 : 0);
    const std::string_view digits = number.substr(number.starts_with('-') && !text.starts_with('+') ? 1 : 0);
    long long value = 0;
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos ||
        std::from_chars(number.data(), number.data() + number.size(), value).ec != std::errc{}) {
        return std::nullopt;
    }
    return value;
}

// A setting as the reader takes it: blanks and tabs around the number (only quotes can put
// them there) are allowed, and the value must fit the type.
template <typename Int>
std::optional<Int> ModelNumber(std::string_view text) {
    const std::size_t from = std::min(text.find_first_not_of(" \t"), text.size());
    const auto value = ModelInteger(text.substr(from, text.find_last_not_of(" \t") + 1 - from));
    if (!value || *value < std::numeric_limits<Int>::min() || *value > std::numeric_limits<Int>::max()) return std::nullopt;
    return static_cast<Int>(*value);
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

// The clock stands still until the pause after an argument error, so every entry carries
// the start time.
std::string Entry(std::string_view text) {
    static const std::string stamp =
        FormatTimestamp(FromSerialSeconds(FakeClock::kStartUnixNanos / 1'000'000'000 + FakeClock::kUtcOffsetSeconds));
    return stamp + std::string(text) + "\r\n";
}

struct Outcome {
    bool ended = false;      // the reader said the run ends here
    bool logFailed = false;  // the log's failure came out of the reader
    std::int16_t timeout = 0, retries = 0, serverCount = 0;
    ServerEntry first;
    std::string log;  // after the start entry
};

// The fake machine's files, but for one append, which fails as a full disk would: once, so
// that a failure the reader took for an argument error would show in the entries after it.
struct FailingOnce final : platform::Files {
    testing::FakeFiles& files;
    int failing = -1;  // the append that fails, counted from 0
    explicit FailingOnce(testing::FakeFiles& f) : files(f) {}
    std::string ExecutableDirectory() override { return files.ExecutableDirectory(); }
    char PathSeparator() const override { return files.PathSeparator(); }
    bool IsSafeRegularFile(const std::string& path) override { return files.IsSafeRegularFile(path); }
    platform::Appended AppendToFile(const std::string& path, std::string_view text) override {
        return failing-- == 0 ? platform::Appended{platform::Appended::Status::Failed, "No space left on device"}
                              : files.AppendToFile(path, text);
    }
};

// With `appendsLeft` not negative, the log takes that many entries after the start, then
// fails the next.
Outcome Read(const std::string& tail, bool logging, int appendsLeft) {
    testing::FakeMachine m;
    m.process.tail = tail;
    if (logging) m.files.files[m.files.LogPath()] = "";
    FailingOnce files(m.files);
    DebugLog log(files, m.clock);
    Pacer pacer(m.loop);
    RunState state;
    SwitchTest(log, state);
    Check(Logging(state) == logging, "the switch file did not decide logging");
    const std::string started = logging ? "\r\n" + Entry(" Start") : "";
    files.failing = appendsLeft;
    const int appendsBefore = m.files.appendCalls;

    Outcome out;
    try {
        out.ended = !ReadArguments(m.process, log, pacer, state);
    } catch (const RunError& error) {
        Check(error.kind() == ErrorKind::FileOperation, "the argument reader let an error other than the log's out");
        out.logFailed = true;
    }
    out.timeout = state.TimeoutSeconds;
    out.retries = state.RetryLimit;
    out.serverCount = state.ServerCount;
    out.first = state.Servers(1);
    for (const auto& [path, text] : m.files.files) Check(path == m.files.LogPath(), "a file other than the log was written");
    Check(logging || m.files.appendCalls == appendsBefore, "the log was written although logging is off");
    if (logging) out.log = m.files.files[m.files.LogPath()].substr(started.size());
    for (std::int16_t n = 2; n <= kServerRows; ++n) {
        Check(state.Servers(n).Host.empty() && state.Servers(n).Port == 0, "a server row past the first was filled");
    }
    return out;
}

// The failure of the log must come out of the reader as no argument error.
void CheckEntries(const Outcome& out, std::vector<std::string> entries, bool argumentError, bool logging,
                  int appendsLeft) {
    if (!logging) {
        Check(!out.ended && !out.logFailed, "an argument error ended the run with logging off");
        return;
    }
    if (argumentError) entries.push_back(Entry(" Argument Error"));
    const bool fails = appendsLeft >= 0 && entries.size() > static_cast<std::size_t>(appendsLeft);
    if (fails) entries.resize(static_cast<std::size_t>(appendsLeft));
    std::string expected;
    for (const std::string& entry : entries) expected += entry;
    Check(out.log == expected, "the log is not the tail and any argument error, up to an entry that failed");
    Check(out.logFailed == fails, "a failure of the log was not passed up, or one was invented");
    Check(out.ended == (argumentError && !fails), "the run did not end exactly on an argument error with logging on");
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

struct Expected {
    bool valid = false;
    std::int16_t timeout = 0, retries = 0, serverCount = 0;
    std::optional<std::string> host;  // with the port, when the server has a colon
    std::int32_t port = 0;
};

Expected Model(const Tokens& tokens) {
    const auto timeout = tokens[0].empty() ? std::optional<std::int16_t>(0) : ModelNumber<std::int16_t>(tokens[0]);
    const auto retries = tokens[1].empty() ? std::optional<std::int16_t>(0) : ModelNumber<std::int16_t>(tokens[1]);
    const std::string& server = tokens[2];
    // "[v6]:port" puts the host between the brackets; anything else splits at the first colon.
    const std::size_t bracket = server.starts_with('[') ? server.find("]:") : std::string::npos;
    const bool bracketed = bracket != std::string::npos && server.find(']') == bracket;
    const std::size_t colon = bracketed ? bracket + 1 : server.find(':');
    const auto port = colon == std::string::npos ? std::optional<std::int32_t>(0)
                                                 : ModelNumber<std::int32_t>(std::string_view(server).substr(colon + 1));
    Expected e{timeout && retries && port, timeout.value_or(0), retries.value_or(0),
               static_cast<std::int16_t>(server.empty() ? 0 : 1), std::nullopt, port.value_or(0)};
    if (colon != std::string::npos) e.host = bracketed ? server.substr(1, bracket - 1) : server.substr(0, colon);
    return e;
}

void CheckOutcome(const Outcome& out, const Expected& e, const std::string& tail, bool logging, int appendsLeft) {
    CheckEntries(out, {Entry(" CommandLine = " + ModelPrintable(tail))}, !e.valid, logging, appendsLeft);
    if (out.logFailed) return;
    if (!e.valid) {
        Check(out.serverCount == 0, "an argument error left a server counted");
        return;
    }
    Check(out.timeout == e.timeout && out.retries == e.retries, "the timeout or the retry limit was not read back");
    Check(out.serverCount == e.serverCount, "ServerCount does not follow the third token");
    Check(out.first.Host == e.host.value_or("") && out.first.Port == e.port,
          "the host is not the text before the first colon, or between brackets, or the port was not read back");
}

Tokens CheckReading(const std::string& tail, bool logging, int appendsLeft) {
    Tokens tokens{};
    bool overflow = false;
    try {
        SplitCommandLine(tail, tail.size(), tokens);
    } catch (const RunError& error) {
        Check(error.kind() == ErrorKind::Overflow, "the tokenizer failed with an error other than overflow");
        overflow = true;
    }
    Check(overflow == (tail.size() >= kTailLimit), "the tokenizer's overflow does not match the tail's length");
    const Outcome out = Read(tail, logging, appendsLeft);
    if (overflow) {
        Check(out.serverCount == 0 && out.timeout == 0 && out.retries == 0, "a tail too long to split set a value");
        CheckEntries(out, {}, true, logging, appendsLeft);
        return tokens;
    }
    CheckTokens(tail, tokens);
    const std::size_t colon = tokens[2].find(':');
    for (const std::string& text : {tokens[0], tokens[1], colon == std::string::npos ? "" : tokens[2].substr(colon + 1)}) {
        Check(ParseInteger(text) == ModelInteger(text), "ParseInteger disagrees with the model");
    }
    CheckOutcome(out, Model(tokens), tail, logging, appendsLeft);
    return tokens;
}

// The padded tail is not split again, which would halve the fuzzer's speed: trailing blanks
// only end tokens, unless a quote is still open, when they go into its token.
void CheckPadded(const std::string& tail, bool logging, int appendsLeft, std::size_t length, char blank) {
    Tokens tokens = CheckReading(tail, logging, appendsLeft);
    if (tail.size() >= length) return;
    const std::string padding = tail + std::string(length - tail.size(), blank);
    const Outcome padded = Read(padding, logging, appendsLeft);
    if (length >= kTailLimit) {
        Check(padded.serverCount == 0 && padded.timeout == 0 && padded.retries == 0, "a tail too long to split set a value");
        CheckEntries(padded, {}, true, logging, appendsLeft);
        return;
    }
    std::size_t slot = 0;
    bool quoted = false;
    for (const char c : tail) {
        quoted = quoted != (c == '"');
        if (!quoted && IsBlank(c) && slot + 1 < tokens.size()) ++slot;
    }
    if (quoted) tokens[slot].append(length - tail.size(), blank);
    CheckOutcome(padded, Model(tokens), padding, logging, appendsLeft);
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
    const auto range = [](const std::optional<check::Range>& r) {
        return r ? std::tuple(true, r->start, r->end, r->inside) : std::tuple(false, 0.0, 0.0, false);
    };
    const auto pairs = [&](const check::CheckOptions& o) {
        return std::tuple(range(o.warning), range(o.critical), range(o.stratum.warning), range(o.stratum.critical),
                          range(o.rootDistance.warning), range(o.rootDistance.critical), range(o.referenceAge.warning),
                          range(o.referenceAge.critical), range(o.agreeing.warning), range(o.agreeing.critical));
    };
    const auto rest = [](const check::CheckOptions& o) {
        return std::tuple(o.port, o.timeoutNanos, o.timeOffsetNanos, o.family, o.quiet, o.verbose, o.allAddresses, o.format);
    };
    const auto servers = [](const check::CheckOptions& o) {
        std::vector<std::pair<std::string, std::optional<std::uint16_t>>> list;
        for (const check::ServerName& server : o.servers) list.emplace_back(server.host, server.port);
        return list;
    };
    return pairs(a) == pairs(b) && rest(a) == rest(b) && servers(a) == servers(b);
}

// A form of the plugin's own, which must read back the same; a host in brackets as IPv6 is.
std::vector<std::string> Canonical(const check::CheckOptions& o) {
    std::vector<std::string> args;
    for (const check::ServerName& server : o.servers) {
        const std::string host = server.host.find(']') == std::string::npos ? "[" + server.host + "]" : server.host;
        args.insert(args.end(), {"-H", server.port ? host + ":" + std::to_string(*server.port) : host});
    }
    args.insert(args.end(), {"--port=" + std::to_string(o.port), "--warning=" + o.warning.text, "-c", o.critical.text});
    const auto seconds = [](std::int64_t nanos) {
        char text[48];
        std::snprintf(text, sizeof text, "%s%lld.%09lld", nanos < 0 ? "-" : "", static_cast<long long>(std::llabs(nanos) / 1'000'000'000),
                      static_cast<long long>(std::llabs(nanos) % 1'000'000'000));
        return std::string(text);
    };
    args.insert(args.end(), {"-t", seconds(o.timeoutNanos), "--time-offset=" + seconds(o.timeOffsetNanos)});
    const std::pair<const char*, const check::Thresholds*> single[] = {{"-W", &o.stratum}, {"-m", &o.agreeing}};
    for (const auto& [letter, pair] : single) {
        if (pair->warning) args.insert(args.end(), {letter, pair->warning->text});
        if (pair->critical) args.insert(args.end(), {letter == std::string_view("-W") ? "-C" : "-n", pair->critical->text});
    }
    const std::pair<const char*, const check::Thresholds*> both[] = {{"--root-distance=", &o.rootDistance},
                                                                     {"--reference-age=", &o.referenceAge}};
    for (const auto& [name, pair] : both) {
        if (pair->warning || pair->critical) {
            args.push_back(name + (pair->warning ? pair->warning->text : "") + "," + (pair->critical ? pair->critical->text : ""));
        }
    }
    static const char* const kFormats[] = {"classic", "multi-line", "openmetrics"};
    args.push_back(std::string("--output-format=") + kFormats[static_cast<int>(o.format)]);
    if (o.family) args.push_back(*o.family == platform::NetAddress::Family::V4 ? "-4" : "--use-ipv6");
    if (o.quiet) args.push_back("-q");
    if (o.verbose) args.push_back("-v");
    if (o.allAddresses) args.push_back("--all-addresses");
    return args;
}

// The state one measure sets against its pair of thresholds, read the model's way.
int ModelState(const check::Thresholds& pair, double value) {
    if (pair.critical && ModelAlerts(pair.critical->text, value)) return 2;
    if (pair.warning && ModelAlerts(pair.warning->text, value)) return 1;
    return 0;
}

// The arguments between NUL octets, against servers whose clocks the input sets off alike.
void CheckPlugin(std::string_view rest, std::int64_t offsetNanos) {
    std::vector<std::string> args;
    for (std::size_t at = 0, end = 0; at <= rest.size(); at = end + 1) {
        end = std::min(rest.find('\0', at), rest.size());
        args.emplace_back(rest.substr(at, end - at));
    }
    const auto parsed = check::ParseCheckOptions(args);
    testing::FakeMachine m;
    testing::FakeNetwork net(m.clock);
    const auto run = [&] { return check::RunCheck(m.process, m.clock, net, m.loop, args); };
    const std::string& out = m.process.standardOutput;

    if (const auto* error = std::get_if<check::UsageError>(&parsed)) {
        Check(!error->message.empty(), "a usage error without a message");
        Check(run() == 3, "a usage error was not UNKNOWN");
        Check(out.starts_with("NTP UNKNOWN - ") && out.ends_with("\n" + std::string(CheckUsage()) + "\n") &&
                  out.find('\n') + CheckUsage().size() + 2 == out.size(),
              "a usage error is not one UNKNOWN line and the usage line");
        Check(m.process.standardError.empty(), "a usage error wrote to standard error");
        return;
    }
    const check::CheckOptions& options = std::get<check::CheckOptions>(parsed);
    if (options.help || options.version) {
        Check(run() == 3 && !out.empty(), "help or version was not answered");
        return;
    }
    Check(!options.servers.empty() && options.port >= 1, "options read without a host or a port");
    for (const check::ServerName& server : options.servers) Check(!server.host.empty(), "an empty host");
    Check(options.timeoutNanos > 0 && options.timeoutNanos <= 86'400'000'000'000, "a timeout out of its range");
    const auto reread = check::ParseCheckOptions(Canonical(options));
    Check(std::holds_alternative<check::CheckOptions>(reread) && SameOptions(std::get<check::CheckOptions>(reread), options),
          "the options written out again read back otherwise");

    platform::NetAddress server;
    server.bytes = {127, 0, 0, 1};
    for (const check::ServerName& name : options.servers) net.Resolve(name.host, {server});
    net.onSend = [&net, offsetNanos](testing::FakeChannelRecord& channel) {
        testing::FakeNetwork::Deliver(channel, net.ReplyTo(channel, offsetNanos));
    };
    const int status = run();
    const bool metrics = options.format == check::OutputFormat::OpenMetrics;
    Check(metrics ? out.ends_with("\n# EOF\n")
                  : out.starts_with(options.format == check::OutputFormat::Classic ? "NTP " : "[") &&
                        (options.verbose || options.format != check::OutputFormat::Classic || out.find('\n') == out.size() - 1),
          "the plugin's output is not in the form asked for");
    if (options.family == platform::NetAddress::Family::V6) {
        // None agrees: -n can make it CRITICAL, which outweighs UNKNOWN.
        Check(net.channels.empty(), "an IPv4 server was asked although only IPv6 was");
        Check(status == (ModelState(options.agreeing, 0) == 2 ? 2 : 3), "no address of the family was not UNKNOWN");
        return;
    }
    // Every server is the one clock: they all agree on its offset, and on the rest of its
    // reply (stratum 2, a root distance of 1/32 s, a reference a minute old).
    const auto count = static_cast<double>(options.servers.size());
    const int model = std::max({ModelState({options.warning, options.critical}, std::fabs(static_cast<double>(offsetNanos + options.timeOffsetNanos) / 1e9)),
                                ModelState(options.stratum, 2), ModelState(options.rootDistance, 0.03125),
                                ModelState(options.referenceAge, 64), ModelState(options.agreeing, count)});
    Check(status == model, "the state does not follow the thresholds");
    Check(metrics || out.find("|offset=") != std::string::npos, "a measured offset without its performance data");
    Check(m.clock.waits == 0, "an answer at once was waited for");
    Check((options.verbose && metrics) || m.process.standardError.empty(), "standard error written without -v");
}

}  // namespace
}  // namespace pelldor::fuzz

// The first byte picks logging (bit 0) and how the rest is read (bits 1-3): 0-6 as the tail,
// padded with blanks or tabs (bit 4), the log failing at its first entry after the start (3)
// or second (4); 7 as the plugin's arguments, or with the top bits all set, a padded tail.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pelldor::fuzz;
    if (size == 0) return 0;
    const std::uint8_t flags = data[0];
    const bool logging = (flags & 1) != 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);

    const char blank = (flags & 16) != 0 ? '\t' : ' ';
    const int mode = (flags >> 1) & 7;
    if (mode != 7) {
        CheckPadded(std::string(rest), logging, mode - 3, rest.size() + 1 + (flags >> 4), blank);
    } else if ((flags >> 4) != 15) {
        // From 8 s behind to 7 s ahead, with a fraction.
        CheckPlugin(rest, (static_cast<std::int64_t>(flags >> 4) - 8) * 1'000'000'000 + 123'456'789);
    } else if (!rest.empty()) {
        // Tails that differ where the length limit matters, padded to it or up to 15 past it;
        // one of the fuzzer's own would make every content worth trying there too, at a
        // thousand times the cost. Bit 3 fails the log at its first entry.
        static constexpr std::string_view kTails[] = {
            "5 3 h:123", "5 3 \"h:123", "\"5\"\t3\t[::1]:123", "1 2 h:123 a b c d e f g h i j k l",
            "x 3 h:1",   "5 3 h:",       "",                     "5 3 h:123 \"",
        };
        const auto choice = static_cast<std::uint8_t>(rest[0]);
        CheckPadded(std::string(kTails[choice & 7]), logging, (choice & 8) != 0 ? 0 : -1, kTailLimit - 1 + (choice >> 4),
                    blank);
    }
    return 0;
}
