#include "check/check_run.h"

#include <exception>
#include <optional>
#include <variant>

#include "check/check_options.h"
#include "check/check_verdict.h"
#include "exchange/exchange.h"
#include "foundation/help_text.h"
#include "foundation/log_text.h"
#include "foundation/text.h"
#include "foundation/time_math.h"

namespace pelldor::check {
namespace {

using exchange::Notice;

// About the interval of check_ntp_time's own resends, and far above a round trip to any
// server worth asking.
constexpr std::int64_t kResendNanos = kNanosPerSecond;

class Check {
public:
    Check(platform::Clock& clock, platform::Network& network, Loop& loop, const CheckOptions& options)
        : clock_(clock), client_(clock, network, loop), options_(options) {}

    Outcome Run() {
        Diagnose(logtext::Sending(options_.host, options_.port));
        exchange::Plan plan;
        plan.host = options_.host;
        plan.port = options_.port;
        plan.family = options_.family;
        plan.resendNanos = kResendNanos;
        plan.timeoutNanos = options_.timeoutNanos;
        const exchange::Result result = client_.Run({plan}).front();
        if (result.notice != Notice::None) {
            Diagnose(logtext::ErrorNotice(static_cast<std::int16_t>(result.notice), result.text));
        }
        const Outcome outcome = Conclude(result);
        DiagnoseTimes(result);
        return outcome;
    }

    // The lines of -v, to follow the status line.
    [[nodiscard]] const std::string& Detail() const { return detail_; }

private:
    Outcome Conclude(const exchange::Result& result) const {
        if (result.measurement) {
            return OffsetOutcome(*result.measurement, options_.timeOffsetNanos, options_.warning, options_.critical);
        }
        const std::string where = result.asked ? AddressText(*result.asked) : ServerAsGiven();
        // This machine could not ask (out of sockets, memory or threads): nothing is known
        // of the server.
        if (result.failure.kind == platform::NetError::OutOfResources) return {State::Unknown, where + ": " + result.text, {}};
        switch (result.notice) {
        case Notice::TimedOut: {
            const std::string within = " within " + SecondsText(options_.timeoutNanos);
            if (result.asked) return {State::Critical, "no answer from " + where + within, {}};
            return {State::Unknown, "the name " + options_.host + " was not looked up" + within, {}};
        }
        case Notice::HostNotFound:
            return {State::Unknown, options_.host + ": " + result.text, {}};
        case Notice::Unsynchronised:
            // The server answered, but its offset cannot be known: check_ntp_time's -q.
            return {options_.quiet ? State::Unknown : State::Critical, where + ": " + result.text, {}};
        case Notice::NetworkError:
        case Notice::KissOfDeath:
        case Notice::BadReply:
            return {State::Critical, where + ": " + result.text, {}};
        case Notice::None:
        case Notice::NoHost:
        case Notice::InvalidPort:
            break;
        }
        return {State::Unknown, where + ": " + result.text, {}};
    }

    // The server as the command line named it, for a message where no address is known.
    std::string ServerAsGiven() const {
        const bool v6 = options_.host.find(':') != std::string::npos;
        return (v6 ? "[" + options_.host + "]" : options_.host) + ":" + std::to_string(options_.port);
    }

    void DiagnoseTimes(const exchange::Result& result) {
        if (!options_.verbose) return;
        const auto& received = result.time;
        const auto& m = result.measurement;
        Diagnose(logtext::ServerTime(received ? FormatPreciseTimestamp(*received) : "n/a"));
        // The local clock at the moment of receipt, so that the two lines differ by the offset.
        const PreciseLocalTime local = received && m ? AddNanos(*received, -m->offsetNanos) : Now();
        Diagnose(logtext::LocalTime(FormatPreciseTimestamp(local)));
    }

    PreciseLocalTime Now() const { return PreciseLocal(clock_.ReadWallClock()); }

    // A line of the log's texts, stamped to the nanosecond as it happens, with -v.
    void Diagnose(const std::string& text) {
        if (options_.verbose) detail_ += FormatPreciseTimestamp(Now()) + text + "\n";
    }

    platform::Clock& clock_;
    exchange::Client client_;
    const CheckOptions& options_;
    std::string detail_;
};

}  // namespace

int RunCheck(platform::Process& process, platform::Clock& clock, platform::Network& network, Loop& loop,
             std::span<const std::string> args) {
    // A check stopped from outside could not check: UNKNOWN, with its line.
    process.SetStop(static_cast<int>(State::Unknown), "NTP UNKNOWN - stopped by ");
    const auto parsed = ParseCheckOptions(args);
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        process.WriteStandardOutput(StatusLine({State::Unknown, error->message, {}}) + std::string(CheckUsage()) + "\n");
        return static_cast<int>(State::Unknown);
    }
    const CheckOptions& options = std::get<CheckOptions>(parsed);
    if (options.help || options.version) {
        process.WriteStandardOutput(options.help ? CheckHelp() : VersionText());
        return static_cast<int>(State::Unknown);
    }
    Outcome outcome;
    std::string detail;
    try {
        Check check(clock, network, loop, options);
        outcome = check.Run();
        detail = check.Detail();
    } catch (const std::exception& e) {
        outcome = {State::Unknown, std::string("the check failed itself: ") + e.what(), {}};
    }
    // The status line first, whatever engine merges the streams: detail follows it.
    process.WriteStandardOutput(StatusLine(outcome) + detail);
    return static_cast<int>(outcome.state);
}

}  // namespace pelldor::check
