#include "check/check_output.h"

#include <algorithm>
#include <cstdio>

#include "foundation/text.h"

namespace pelldor::check {
namespace {

// Seconds as the performance data and the metrics write them: six decimals.
std::string Value(std::int64_t nanos) {
    char text[48];
    std::snprintf(text, sizeof text, "%.6f", static_cast<double>(nanos) / 1e9);
    return text;
}

// Text from outside (a host name) can neither end the line nor start the performance data
// early.
std::string Plain(const std::string& text) {
    std::string plain;
    for (const char c : Printable(text)) plain += c == '|' ? std::string("\\x7c") : std::string(1, c);
    return plain;
}

std::string Limits(const std::optional<Range>& warning, const std::optional<Range>& critical) {
    if (!warning && !critical) return "";
    return ";" + (warning ? warning->text : "") + ";" + (critical ? critical->text : "") + ";";
}

// A label the performance data keeps apart from the others: quoted, with no quote in it.
std::string Label(const std::string& server, const std::string& measure) {
    std::string label = Printable(server);
    std::replace(label.begin(), label.end(), '\'', '"');
    std::replace(label.begin(), label.end(), '=', ':');
    return "'" + label + " " + measure + "'";
}

// What authenticated time adds: the days the certificate has left, and how long the key
// exchange and the time exchange took.
std::string NtsData(const ServerVerdict& server, const CheckOptions& options, bool alone) {
    if (!server.nts) return "";
    const auto label = [&](const std::string& measure) { return alone ? measure : Label(server.name, measure); };
    std::string data;
    if (const auto& days = server.nts->certificateDays) {
        char shown[48];
        std::snprintf(shown, sizeof shown, "%.2f", *days);
        data += " " + label("certificate_days") + "=" + shown + Limits(options.certificate.warning, options.certificate.critical);
    }
    if (server.nts->keNanos) data += " " + label("ke_time") + "=" + Value(*server.nts->keNanos) + "s";
    if (server.nts->exchangeNanos) data += " " + label("exchange_time") + "=" + Value(*server.nts->exchangeNanos) + "s";
    return data;
}

// A server's measures; unprefixed for the one server of a run, as they always were.
std::string ServerData(const ServerVerdict& server, const CheckOptions& options, bool alone) {
    const auto& m = server.result.measurement;
    if (!m) return NtsData(server, options, alone);
    const auto label = [&](const std::string& measure) { return alone ? measure : Label(server.name, measure); };
    std::string data;
    if (!alone) data += " " + label("offset") + "=" + Value(m->offsetNanos + options.timeOffsetNanos) + "s";
    data += " " + label("stratum") + "=" + std::to_string(m->stratum) + Limits(options.stratum.warning, options.stratum.critical);
    // A server that held the request a hair longer than the exchange took reads a round
    // trip below zero: the wire took no time worth a number below zero.
    data += " " + label("delay") + "=" + Value(std::max<std::int64_t>(m->delayNanos, 0)) + "s";
    data += " " + label("root_distance") + "=" + Value(m->rootDistanceNanos) + "s" +
            Limits(options.rootDistance.warning, options.rootDistance.critical);
    data += " " + label("reference_age") + "=" + Value(m->referenceAgeNanos) + "s" +
            Limits(options.referenceAge.warning, options.referenceAge.critical);
    return data + NtsData(server, options, alone);
}

std::string PerformanceData(const Verdict& verdict, const CheckOptions& options) {
    const bool alone = verdict.servers.size() == 1;
    // Without an offset, only what a key exchange that failed still measured.
    if (!verdict.offsetNanos) {
        std::string data;
        for (const ServerVerdict& server : verdict.servers) data += NtsData(server, options, alone);
        return data.empty() ? data : data.substr(1);
    }
    std::string data = "offset=" + Value(*verdict.offsetNanos) + "s;" + options.warning.text + ";" + options.critical.text + ";";
    if (!alone) {
        data += " agreeing=" + std::to_string(verdict.agreeing) +
                (options.agreeing.warning || options.agreeing.critical
                     ? Limits(options.agreeing.warning, options.agreeing.critical)
                     : std::string(";;;")) +
                "0;" + std::to_string(verdict.servers.size());
    }
    for (const ServerVerdict& server : verdict.servers) data += ServerData(server, options, alone);
    return data;
}

// Every subcheck worth telling, the worst first, each with its server's name when there
// are several.
std::string Summary(const Verdict& verdict) {
    const bool alone = verdict.servers.size() == 1;
    std::vector<Subcheck> all = verdict.overall;
    for (const ServerVerdict& server : verdict.servers) {
        for (std::size_t i = 0; i < server.subchecks.size(); ++i) {
            const Subcheck& subcheck = server.subchecks[i];
            // With several, only what is wrong with a server, and no offset of its own.
            if (!alone && subcheck.state == State::Ok) continue;
            all.push_back({subcheck.state, alone || i == 0 ? subcheck.text : server.name + ": " + subcheck.text});
        }
    }
    std::stable_sort(all.begin(), all.end(), [](const Subcheck& a, const Subcheck& b) {
        return Worse(a.state, b.state) == a.state && a.state != b.state;
    });
    std::string text;
    for (const Subcheck& subcheck : all) text += (text.empty() ? "" : "; ") + subcheck.text;
    return text;
}

std::string MultiLine(const Verdict& verdict, const CheckOptions& options) {
    const auto line = [](int depth, const Subcheck& subcheck) {
        return "\n" + std::string(static_cast<std::size_t>(depth), '\t') + "\\_[" + std::string(StateName(subcheck.state)) +
               "] - " + Plain(subcheck.text);
    };
    std::string text = "[" + std::string(StateName(verdict.state)) + "] - " + Plain(Summary(verdict));
    const bool alone = verdict.servers.size() == 1;
    for (const Subcheck& subcheck : verdict.overall) text += line(1, subcheck);
    for (const ServerVerdict& server : verdict.servers) {
        if (!alone) text += line(1, {server.state, server.name});
        for (const Subcheck& subcheck : server.subchecks) text += line(alone ? 1 : 2, subcheck);
    }
    const std::string data = PerformanceData(verdict, options);
    return text + (data.empty() ? "" : "|" + data) + "\n";
}

// A label value as OpenMetrics quotes it.
std::string Quoted(const std::string& value) {
    std::string quoted;
    for (const char c : Printable(value)) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c;
    }
    return "\"" + quoted + "\"";
}

std::string OpenMetrics(const Verdict& verdict) {
    struct Family {
        const char* name;
        const char* unit;
        const char* help;
        std::string (*value)(const ServerVerdict&);
    };
    static const Family kFamilies[] = {
        {"ntp_server_reachable", nullptr, "Whether the server answered.",
         [](const ServerVerdict& s) { return std::string(s.result.measurement || !s.result.kissCode.empty() ||
                                                                 s.result.notice == exchange::Notice::Unsynchronised ||
                                                                 s.result.notice == exchange::Notice::BadReply
                                                             ? "1"
                                                             : "0"); }},
        {"ntp_drift_seconds", "seconds", "The server's clock minus the local clock.",
         [](const ServerVerdict& s) { return Value(s.result.measurement->offsetNanos); }},
        {"ntp_rtt_seconds", "seconds", "The round trip of the exchange on the wire.",
         [](const ServerVerdict& s) { return Value(std::max<std::int64_t>(s.result.measurement->delayNanos, 0)); }},
        {"ntp_stratum", nullptr, "The server's stratum.",
         [](const ServerVerdict& s) { return std::to_string(s.result.measurement->stratum); }},
        {"ntp_root_distance_seconds", "seconds", "Root delay / 2 + root dispersion + half the round trip.",
         [](const ServerVerdict& s) { return Value(s.result.measurement->rootDistanceNanos); }},
        {"ntp_reference_age_seconds", "seconds", "How long ago the server last set its clock.",
         [](const ServerVerdict& s) { return Value(s.result.measurement->referenceAgeNanos); }},
        {"ntp_leap", nullptr, "The leap indicator: 0 none, 1 a second inserted, 2 deleted.",
         [](const ServerVerdict& s) { return std::to_string(s.result.measurement->leap); }},
        {"ntp_falseticker", nullptr, "Whether the server's time is outside what the others agree on.",
         [](const ServerVerdict& s) { return std::string(s.falseticker ? "1" : "0"); }},
    };
    std::string text;
    for (const Family& family : kFamilies) {
        text += "# TYPE " + std::string(family.name) + " gauge\n";
        if (family.unit != nullptr) text += "# UNIT " + std::string(family.name) + " " + family.unit + "\n";
        text += "# HELP " + std::string(family.name) + " " + family.help + "\n";
        const bool always = family.name == std::string_view("ntp_server_reachable");
        for (const ServerVerdict& server : verdict.servers) {
            if (!always && !server.result.measurement) continue;
            text += std::string(family.name) + "{server=" + Quoted(server.name) + "} " + family.value(server) + "\n";
        }
    }
    text += "# TYPE ntp_check_state gauge\n# HELP ntp_check_state The check's state: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n";
    text += "ntp_check_state " + std::to_string(static_cast<int>(verdict.state)) + "\n# EOF\n";
    return text;
}

}  // namespace

std::string StatusLine(State state, const std::string& text, const std::string& perfdata) {
    std::string line = "NTP " + std::string(StateName(state)) + " - " + Plain(text);
    if (!perfdata.empty()) line += "|" + perfdata;
    return line + "\n";
}

std::string Format(const Verdict& verdict, const CheckOptions& options) {
    switch (options.format) {
    case OutputFormat::MultiLine:
        return MultiLine(verdict, options);
    case OutputFormat::OpenMetrics:
        return OpenMetrics(verdict);
    case OutputFormat::Classic:
        break;
    }
    return StatusLine(verdict.state, Summary(verdict), PerformanceData(verdict, options));
}

}  // namespace pelldor::check
