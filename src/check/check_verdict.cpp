#include "check/check_verdict.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "check/agreement.h"
#include "check/check_options.h"
#include "foundation/text.h"

namespace pelldor::check {
namespace {

using exchange::Notice;

// Seconds with six decimals and a sign: microseconds, finer than any clock a monitoring
// system compares against.
std::string Offset(std::int64_t nanos) {
    char text[48];
    std::snprintf(text, sizeof text, "%+.6f s", static_cast<double>(nanos) / 1e9);
    return text;
}

// A duration for a person: three significant digits below 100 s ("0.0327 s"), whole
// seconds above ("7200 s").
std::string Seconds(std::int64_t nanos) {
    char text[48];
    const double seconds = static_cast<double>(nanos) / 1e9;
    std::snprintf(text, sizeof text, std::fabs(seconds) < 100 ? "%.3g s" : "%.0f s", seconds);
    return text;
}

// The state of a measure against a pair of thresholds: critical first.
State StateOf(double value, const Range* warning, const Range* critical) {
    if (critical != nullptr && Alerts(*critical, value)) return State::Critical;
    if (warning != nullptr && Alerts(*warning, value)) return State::Warning;
    return State::Ok;
}

// A measure with thresholds, judged and told: "stratum 9 (outside 1:8)".
Subcheck Measure(const std::string& what, double value, const std::string& shown, const Thresholds& limits) {
    const Range* warning = limits.warning ? &*limits.warning : nullptr;
    const Range* critical = limits.critical ? &*limits.critical : nullptr;
    const State state = StateOf(value, warning, critical);
    std::string text = what + " " + shown;
    if (state == State::Critical) text += " (outside " + critical->text + ")";
    if (state == State::Warning) text += " (outside " + warning->text + ")";
    return {state, text};
}

// Why a server gave no usable time, and how much that weighs. A RATE kiss asks us to ask
// less often: the server is there, the fault is ours. DENY and RSTR refuse us. Any other
// kiss (INIT, STEP, NTSN, ...) and an unsynchronised reply say the server has no time to
// give, which -q makes UNKNOWN as check_ntp_time's does.
Subcheck NoTime(const exchange::Result& result, const std::string& where, const CheckOptions& options) {
    const std::string within = " within " + SecondsText(options.timeoutNanos);
    // This machine could not ask: nothing is known of the server.
    if (result.failure.kind == platform::NetError::OutOfResources) return {State::Unknown, where + ": " + result.text};
    switch (result.notice) {
    case Notice::TimedOut:
        if (result.asked) return {State::Critical, "no answer from " + where + within};
        return {State::Unknown, "the name " + where + " was not looked up" + within};
    case Notice::HostNotFound:
        return {State::Unknown, where + ": " + result.text};
    case Notice::KissOfDeath:
        if (result.kissCode == "RATE") return {State::Warning, where + ": asked too often (kiss code RATE)"};
        return {State::Critical, where + ": " + result.text};
    case Notice::Unsynchronised:
        return {options.quiet ? State::Unknown : State::Critical, where + ": " + result.text};
    case Notice::NetworkError:
    case Notice::BadReply:
        return {State::Critical, where + ": " + result.text};
    case Notice::None:
    case Notice::NoHost:
    case Notice::InvalidPort:
        break;
    }
    return {State::Unknown, where + ": " + result.text};
}

ServerVerdict JudgeServer(Answer answer, const CheckOptions& options) {
    ServerVerdict verdict{std::move(answer.name), std::move(answer.result), State::Ok, {}, false, std::move(answer.nts)};
    const exchange::Result& result = verdict.result;
    const std::string where = result.asked ? AddressText(*result.asked) : verdict.name;
    if (verdict.nts && !verdict.nts->keFailure.empty()) {
        // No fallback to time that is not authenticated: without keys there is no time. A
        // CA file that cannot be read is this machine's fault: the check was not made.
        verdict.subchecks.push_back({verdict.nts->keFailureOurOwn ? State::Unknown : State::Critical,
                                     "NTS key exchange with " + verdict.name + " failed: " + verdict.nts->keFailure});
    } else if (!result.measurement) {
        verdict.subchecks.push_back(NoTime(result, where, options));
    } else {
        const exchange::Measurement& m = *result.measurement;
        verdict.subchecks.push_back({State::Ok, "offset " + Offset(m.offsetNanos + options.timeOffsetNanos) + " from " +
                                                    AddressText(m.server) + (verdict.nts ? ", authenticated by NTS" : "")});
        if (options.stratum.warning || options.stratum.critical) {
            verdict.subchecks.push_back(Measure("stratum", m.stratum, std::to_string(m.stratum), options.stratum));
        }
        if (options.rootDistance.warning || options.rootDistance.critical) {
            verdict.subchecks.push_back(Measure("root distance", static_cast<double>(m.rootDistanceNanos) / 1e9,
                                                Seconds(m.rootDistanceNanos), options.rootDistance));
        }
        if (options.referenceAge.warning || options.referenceAge.critical) {
            verdict.subchecks.push_back(Measure("reference", static_cast<double>(m.referenceAgeNanos) / 1e9,
                                                Seconds(m.referenceAgeNanos) + " old", options.referenceAge));
        }
        if (verdict.nts && verdict.nts->certificateDays && (options.certificate.warning || options.certificate.critical)) {
            const double days = *verdict.nts->certificateDays;
            char shown[48];
            std::snprintf(shown, sizeof shown, "%.0f days", std::abs(days));
            const bool expired = days < 0;
            verdict.subchecks.push_back(Measure(expired ? "certificate expired" : "certificate valid for", days,
                                                shown + std::string(expired ? " ago" : ""), options.certificate));
        }
        if (m.leap == 1 || m.leap == 2) {
            verdict.subchecks.push_back(
                {State::Ok, std::string("a leap second to be ") + (m.leap == 1 ? "inserted" : "deleted") + " at the end of the day"});
        }
    }
    for (const Subcheck& subcheck : verdict.subchecks) verdict.state = Worse(verdict.state, subcheck.state);
    return verdict;
}

}  // namespace

State Worse(State a, State b) {
    static constexpr int kWeight[] = {0, 1, 3, 2};
    return kWeight[static_cast<int>(a)] >= kWeight[static_cast<int>(b)] ? a : b;
}

std::string_view StateName(State state) {
    static constexpr std::string_view kNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    return kNames[static_cast<int>(state)];
}

bool Alerts(const Range& range, double value) {
    const bool within = value >= range.start && value <= range.end;
    return range.inside ? within : !within;
}

Verdict Judge(std::vector<Answer> answers, const CheckOptions& options) {
    Verdict verdict;
    const bool alone = answers.size() == 1;
    std::vector<Interval> intervals;
    std::vector<std::size_t> timed;  // the servers that gave a time, by index
    for (Answer& answer : answers) {
        verdict.servers.push_back(JudgeServer(std::move(answer), options));
        const ServerVerdict& server = verdict.servers.back();
        if (const auto& m = server.result.measurement) {
            intervals.push_back({m->offsetNanos, m->rootDistanceNanos});
            timed.push_back(verdict.servers.size() - 1);
        }
    }
    const std::string servers = std::to_string(answers.size()) + (alone ? " server" : " servers");
    if (!alone && !intervals.empty()) {
        // One of several servers without a time is named, and weighs a warning at most:
        // whether the rest is enough is for the number that agree to say. This machine out
        // of descriptors or memory stays UNKNOWN: it could not check at all. With no time
        // from any, each weighs what it would alone.
        for (ServerVerdict& server : verdict.servers) {
            if (server.result.measurement || server.result.failure.kind == platform::NetError::OutOfResources ||
                (server.nts && server.nts->keFailureOurOwn)) {
                continue;
            }
            Subcheck& reason = server.subchecks.front();
            if (reason.state != State::Ok) reason.state = server.state = State::Warning;
        }
    }
    if (intervals.empty()) {
        // It weighs what the worst of their reasons weighs: all silent is CRITICAL, all
        // asking us to slow down a warning.
        State worst = State::Ok;
        for (const ServerVerdict& server : verdict.servers) worst = Worse(worst, server.state);
        if (!alone) verdict.overall.push_back({worst, "no server gave a usable time"});
    } else {
        const Agreement agreement = Agree(intervals);
        const std::int64_t offset = agreement.combinedNanos + options.timeOffsetNanos;
        verdict.offsetNanos = offset;
        const State offsetState = StateOf(std::fabs(static_cast<double>(offset) / 1e9), &options.warning, &options.critical);
        verdict.agreeing = agreement.majority ? static_cast<int>(agreement.agreeing.size()) : 0;
        if (alone) {
            // The offset is the server's own: its reply's line says it.
            ServerVerdict& server = verdict.servers.front();
            server.subchecks.front().state = offsetState;
            server.state = Worse(server.state, offsetState);
        } else {
            verdict.overall.push_back({offsetState, "combined offset " + Offset(offset) + (agreement.majority ? "" : " of all that answered")});
            if (!agreement.majority) verdict.overall.push_back({State::Warning, "no majority of the " + servers + " agrees"});
        }
        for (const std::size_t i : agreement.falsetickers) {
            ServerVerdict& server = verdict.servers[timed[i]];
            server.falseticker = true;
            server.subchecks.push_back({State::Warning, "a falseticker at " + Offset(server.result.measurement->offsetNanos) +
                                                            ", outside what the others agree on"});
            server.state = Worse(server.state, State::Warning);
        }
    }
    // -m and -n weigh the number that agree: of several with a majority, or of one that gave
    // a time. It is told for several, and for one only when they are given.
    if ((!alone && verdict.offsetNanos && verdict.agreeing > 0) || options.agreeing.warning || options.agreeing.critical) {
        verdict.overall.push_back(Measure(std::to_string(verdict.agreeing) + " of", verdict.agreeing,
                                         servers + (verdict.agreeing == 1 ? " agrees" : " agree"), options.agreeing));
    }
    for (const ServerVerdict& server : verdict.servers) verdict.state = Worse(verdict.state, server.state);
    for (const Subcheck& subcheck : verdict.overall) verdict.state = Worse(verdict.state, subcheck.state);
    return verdict;
}

}  // namespace pelldor::check
