#include "check/check_run.h"

#include <algorithm>
#include <exception>
#include <variant>

#include "check/check_options.h"
#include "check/check_output.h"
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

// A server as the command line named it: its port only when it gave one, so that two
// servers on one host keep apart and one on the usual port reads as usual.
std::string NameOf(const ServerName& server) {
    if (!server.port) return server.host;
    const bool v6 = server.host.find(':') != std::string::npos;
    return (v6 ? "[" + server.host + "]" : server.host) + ":" + std::to_string(*server.port);
}

class Check {
public:
    Check(platform::Clock& clock, platform::Network& network, Loop& loop, const CheckOptions& options,
          const AuthenticatedTime* authenticatedTime)
        : clock_(clock), client_(clock, network, loop), options_(options), authenticatedTime_(authenticatedTime) {}

    // Every server asked at once, each within the timeout; with every address of a name
    // asked, the names are looked up first, and their exchanges have what is left of it.
    Verdict Run() {
        std::vector<exchange::Plan> plans;
        std::vector<std::string> names;
        for (const ServerName& server : options_.servers) {
            exchange::Plan plan;
            plan.host = server.host;
            plan.port = server.port.value_or(options_.port);
            plan.family = options_.family;
            plan.resendNanos = kResendNanos;
            plan.timeoutNanos = options_.timeoutNanos;
            plans.push_back(std::move(plan));
            names.push_back(NameOf(server));
        }
        if (options_.allAddresses) EachAddress(plans, names);
        for (const exchange::Plan& plan : plans) Diagnose(logtext::Sending(plan.host, plan.port));
        std::vector<Answer> answers;
        if (options_.nts) {
            for (const nts::Outcome& outcome : Authenticated(plans)) answers.push_back({{}, outcome.result, Facts(outcome)});
        } else {
            for (exchange::Result& result : client_.Run(plans)) answers.push_back({{}, std::move(result), std::nullopt});
        }
        for (std::size_t i = 0; i < answers.size(); ++i) {
            answers[i].name = names[i];
            const exchange::Result& result = answers[i].result;
            if (result.notice != Notice::None) {
                const std::string whose = answers.size() > 1 ? names[i] + ": " : "";
                Diagnose(logtext::ErrorNotice(static_cast<std::int16_t>(result.notice), whose + result.text));
            }
            DiagnoseTimes(result);
        }
        return Judge(std::move(answers), options_);
    }

    // The lines of -v, to follow the status line.
    [[nodiscard]] const std::string& Detail() const { return detail_; }

private:
    // A name of several addresses becomes a server per address, named by both; a name
    // that did not resolve in time stays one server, which reports why.
    void EachAddress(std::vector<exchange::Plan>& plans, std::vector<std::string>& names) {
        const std::int64_t start = clock_.MonotonicNanos();
        const std::int64_t until = start + options_.timeoutNanos;
        client_.LookUp(plans, until);
        // What the lookups left of the timeout, and a nanosecond at least: none would be
        // no timeout at all.
        const std::int64_t left = std::max<std::int64_t>(until - clock_.MonotonicNanos(), 1);
        std::vector<exchange::Plan> each;
        std::vector<std::string> eachName;
        for (std::size_t i = 0; i < plans.size(); ++i) {
            std::vector<platform::NetAddress> addresses = client_.AddressesOf(plans[i].host);
            std::erase_if(addresses, [&](const platform::NetAddress& a) { return options_.family && a.family != *options_.family; });
            plans[i].timeoutNanos = left;
            if (addresses.size() < 2) {
                each.push_back(plans[i]);
                eachName.push_back(names[i]);
                continue;
            }
            for (const platform::NetAddress& address : addresses) {
                exchange::Plan plan = plans[i];
                plan.addresses = {address};
                each.push_back(std::move(plan));
                eachName.push_back(names[i] + " (" + AddressText(address) + ")");
            }
        }
        plans = std::move(each);
        names = std::move(eachName);
    }

    // Each server's key exchange on the NTS port, then its time exchange authenticated.
    std::vector<nts::Outcome> Authenticated(const std::vector<exchange::Plan>& plans) const {
        std::vector<nts::Target> targets;
        for (const exchange::Plan& plan : plans) {
            nts::Target target;
            target.ke = {plan.host, options_.ntsPort, options_.family, options_.caFile};
            target.ntpPort = static_cast<std::uint16_t>(plan.port);
            target.resendNanos = plan.resendNanos;
            target.timeoutNanos = plan.timeoutNanos;
            targets.push_back(std::move(target));
        }
        return (*authenticatedTime_)(targets);
    }

    NtsFacts Facts(const nts::Outcome& outcome) {
        NtsFacts facts{outcome.keFailure, outcome.keFailureOurOwn, outcome.keNanos, outcome.exchangeNanos, std::nullopt};
        if (outcome.certificateExpiry) {
            const platform::UnixTime now = clock_.ReadWallClock().utc;
            facts.certificateDays = (static_cast<double>(*outcome.certificateExpiry - now.seconds) - now.nanos / 1e9) / 86400;
        }
        if (!outcome.keFailure.empty()) Diagnose(" --- NTS key exchange failed: " + outcome.keFailure);
        return facts;
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
    const AuthenticatedTime* authenticatedTime_;
    std::string detail_;
};

}  // namespace

std::string WithoutAuthenticatedTime() { return StatusLine(State::Unknown, "NTS is not available in this build"); }

int RunCheck(platform::Process& process, platform::Clock& clock, platform::Network& network, Loop& loop,
             std::span<const std::string> args, const AuthenticatedTime* authenticatedTime) {
    // A check stopped from outside could not check: UNKNOWN, with its line.
    process.SetStop(static_cast<int>(State::Unknown), "NTP UNKNOWN - stopped by ");
    const auto parsed = ParseCheckOptions(args);
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        process.WriteStandardOutput(StatusLine(State::Unknown, error->message) + std::string(CheckUsage()) + "\n");
        return static_cast<int>(State::Unknown);
    }
    const CheckOptions& options = std::get<CheckOptions>(parsed);
    if (options.help || options.version) {
        process.WriteStandardOutput(options.help ? CheckHelp() : VersionText());
        return static_cast<int>(State::Unknown);
    }
    if (options.nts && authenticatedTime == nullptr) return kNeedsAuthenticatedTime;
    std::string output;
    State state = State::Unknown;
    try {
        Check check(clock, network, loop, options, authenticatedTime);
        const Verdict verdict = check.Run();
        state = verdict.state;
        // The status line first, whatever engine merges the streams: detail follows it.
        // Metrics end with their EOF line, so their detail goes to standard error.
        output = Format(verdict, options);
        if (options.format == OutputFormat::OpenMetrics) {
            process.WriteStandardError(check.Detail());
        } else {
            output += check.Detail();
        }
    } catch (const std::exception& e) {
        output = StatusLine(State::Unknown, std::string("the check failed itself: ") + e.what());
    }
    process.WriteStandardOutput(output);
    return static_cast<int>(state);
}

}  // namespace pelldor::check
