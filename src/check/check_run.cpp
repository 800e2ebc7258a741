#include "check/check_run.h"

#include <optional>
#include <variant>

#include "check/check_options.h"
#include "check/check_verdict.h"
#include "foundation/debug_log.h"
#include "timequery/sntp_client.h"

namespace pelldor::check {
namespace {

// About the interval of check_ntp_time's own resends, and far above a round trip to any
// server worth asking.
constexpr std::int64_t kResendNanos = platform::kNanosPerSecond;

struct Notice {
    timequery::ClientError code;
    std::string text;
};

class Check {
public:
    Check(platform::Platform& os, const CheckOptions& options) : os_(os), options_(options) {
        client_.OnError([this](std::int16_t code, const std::string& text) {
            notice_ = Notice{static_cast<timequery::ClientError>(code), text};
            Diagnose(logtext::ErrorNotice(code, text));
        });
        client_.QueryTimeout(0);
        client_.QueryHost(options_.host);
        client_.QueryPort(options_.port);
        client_.ResendAfter(kResendNanos);
        client_.OnlyFamily(options_.family);
    }

    Outcome Run() {
        const std::int64_t deadline = os_.MonotonicNanos() + options_.timeoutNanos;
        Diagnose(logtext::Sending(options_.host, options_.port));
        client_.BeginQuery();
        os_.DeliverEvents();
        while (!client_.QueryDone() && os_.MonotonicNanos() < deadline) {
            client_.WaitForNews(deadline);
            // What arrived by the deadline is still read, but nothing more goes out.
            if (os_.MonotonicNanos() >= deadline) client_.ResendAfter(0);
            os_.DeliverEvents();
        }
        const Outcome outcome = Conclude();
        DiagnoseTimes();
        return outcome;
    }

private:
    Outcome Conclude() {
        if (const auto& m = client_.LastMeasurement()) {
            return OffsetOutcome(m->offsetNanos, m->delayNanos, m->stratum, m->server, options_);
        }
        const std::string where = ServerAsGiven();
        if (!client_.QueryDone()) {
            const std::string within = " within " + SecondsText(options_.timeoutNanos);
            if (const auto asked = client_.LastAsked()) {
                return {State::Critical, "no answer from " + platform::AddressText(*asked) + within, {}};
            }
            return {State::Unknown, "the name " + options_.host + " was not looked up" + within, {}};
        }
        if (!notice_) return {State::Unknown, "the query ended without a time or a reason", {}};
        switch (notice_->code) {
        case timequery::ClientError::HostNotFound:
            return {State::Unknown, options_.host + ": " + notice_->text, {}};
        case timequery::ClientError::NetworkError:
        case timequery::ClientError::TimedOut:
        case timequery::ClientError::KissOfDeath:
        case timequery::ClientError::Unsynchronised:
        case timequery::ClientError::BadReply: {
            const auto asked = client_.LastAsked();
            return {State::Critical, (asked ? platform::AddressText(*asked) : where) + ": " + notice_->text, {}};
        }
        case timequery::ClientError::NoHost:
        case timequery::ClientError::InvalidPort:
            break;
        }
        return {State::Unknown, where + ": " + notice_->text, {}};
    }

    // The server as the command line named it, for a message where no address is known.
    std::string ServerAsGiven() const {
        const bool v6 = options_.host.find(':') != std::string::npos;
        return (v6 ? "[" + options_.host + "]" : options_.host) + ":" + std::to_string(options_.port);
    }

    void DiagnoseTimes() {
        if (!options_.verbose) return;
        const auto received = client_.ReceivedTime();
        const auto& m = client_.LastMeasurement();
        Diagnose(logtext::ServerTime(received ? platform::FormatPreciseTimestamp(*received) : "n/a"));
        // The local clock at the moment of receipt, so that the two lines differ by the offset.
        const platform::PreciseLocalTime local =
            received && m ? platform::AddNanos(*received, -m->offsetNanos) : Now();
        Diagnose(logtext::LocalTime(platform::FormatPreciseTimestamp(local)));
    }

    platform::PreciseLocalTime Now() const {
        const platform::WallReading now = os_.ReadWallClock();
        return {now.local, now.utc.nanos, now.ZoneOffsetSeconds()};
    }

    // A line of the log's texts on standard error, stamped to the nanosecond, with -v.
    void Diagnose(const std::string& text) const {
        if (options_.verbose) os_.WriteStandardError(platform::FormatPreciseTimestamp(Now()) + text + "\n");
    }

    platform::Platform& os_;
    const CheckOptions& options_;
    timequery::SntpClient client_{os_};
    std::optional<Notice> notice_;
};

}  // namespace

int RunCheck(platform::Platform& os, std::span<const std::string> args) {
    const auto parsed = ParseCheckOptions(args);
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        os.WriteStandardOutput(StatusLine({State::Unknown, error->message, {}}));
        os.WriteStandardError(std::string(Usage()) + "\n");
        return static_cast<int>(State::Unknown);
    }
    const CheckOptions& options = std::get<CheckOptions>(parsed);
    if (options.help || options.version) {
        os.WriteStandardOutput(options.help ? Help() : std::string("pelldor ") + PELLDOR_VERSION + "\n");
        return static_cast<int>(State::Unknown);
    }
    const Outcome outcome = Check(os, options).Run();
    os.WriteStandardOutput(StatusLine(outcome));
    return static_cast<int>(outcome.state);
}

}  // namespace pelldor::check
