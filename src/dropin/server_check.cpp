#include "dropin/server_check.h"

#include <exception>
#include <optional>
#include <string>

#include "dropin/run_error.h"
#include "foundation/time_math.h"

namespace pelldor::dropin {
namespace {

constexpr std::int16_t kPollMilliseconds = 20;

// The moment an attempt's wait gives up: the first whole second of the local clock after
// the deadline, which is TimeoutSeconds after the second the attempt began in. It is held
// on the monotonic clock, as the time left until then, so that neither a step of the wall
// clock nor a daylight-saving change during the wait can move it.
std::int64_t AttemptDeadline(platform::Clock& clock, std::int16_t timeoutSeconds) {
    const platform::WallReading now = clock.ReadWallClock();
    return clock.MonotonicNanos() + (std::int64_t{timeoutSeconds} + 1) * kNanosPerSecond - now.utc.nanos;
}

// Polls until the client is done or the attempt's deadline has passed; an error on the
// way ends the wait, not the check.
void WaitForAnswer(FrmPelldor& form, const RunState& state) {
    for (;;) {
        form.pacer.Pause(kPollMilliseconds);
        try {
            if (form.netClock.QueryDone()) return;
            if (form.log.clock().MonotonicNanos() >= state.Deadline) return;
        } catch (const std::exception&) {
            return;
        }
    }
}

// The received time in the timestamp pattern, its fraction dropped as the local clock's
// is; empty when the client holds no time. `zone` takes the zone offset it is given in.
std::string ReceivedTimeText(TimeClient& client, std::int64_t& zone) {
    const auto received = client.ReceivedTime();
    if (!received) return {};
    zone = received->zoneOffsetSeconds;
    std::string text = FormatTimestamp(received->whole);
    if (text.empty()) throw RunError(ErrorKind::Conversion, "the received time has no timestamp form");
    return text;
}

platform::LocalDateTime ReadBack(const std::string& text) {
    const auto time = ParseTimestamp(text);
    if (!time) throw RunError(ErrorKind::Conversion, "\"" + text + "\" is not a date-time");
    return *time;
}

// The server's time as the local clock shows time in the zone of `now`: a daylight-saving
// change since the client read its own clock moves it as it moved the clock, so it can
// neither part the log's two times nor move the verdict.
platform::LocalDateTime InZoneOf(const std::string& text, std::int64_t zone, const platform::WallReading& now) {
    return AddSeconds(ReadBack(text), ZoneOffsetSeconds(now) - zone);
}

// The handler of the check's own errors: its line, and Status as it was.
void CheckError(FrmPelldor& form, RunState& state, std::int16_t n) {
    if (!Logging(state)) return;
    const ServerEntry& row = state.Servers(n);
    form.log.WriteLogLine({logline::CheckError(form.log, row.Host, row.Port)});
}

}  // namespace

void CheckNtpStatus(FrmPelldor& form, RunState& state, std::int16_t n) {
    DebugLog& log = form.log;
    platform::Clock& clock = log.clock();
    try {
        state.AttemptCount = 0;
        std::string receivedText;
        std::int64_t receivedZone = 0;
        for (;;) {
            receivedText.clear();
            state.Deadline = AttemptDeadline(clock, state.TimeoutSeconds);
            if (Logging(state)) {
                const ServerEntry& row = state.Servers(n);
                log.WriteLogLine({logline::Sending(log, row.Host, row.Port)});
                form.pacer.Pause(300);
            }

            TimeClient& client = form.netClock;
            client.QueryTimeout(state.TimeoutSeconds);
            client.QueryHost(state.Servers(n).Host);
            client.QueryPort(state.Servers(n).Port);
            try {
                client.BeginQuery();
            } catch (const std::exception&) {
                // A failed start is not the verdict: the wait below still runs to
                // QueryDone or the deadline.
            }
            WaitForAnswer(form, state);

            receivedText = ReceivedTimeText(client, receivedZone);
            state.AttemptCount = CheckedAdd16(state.AttemptCount, 1);
            if (!receivedText.empty() || state.AttemptCount > state.RetryLimit) break;
        }

        if (Logging(state)) {
            std::optional<platform::LocalDateTime> server;
            if (!receivedText.empty()) server = InZoneOf(receivedText, receivedZone, clock.ReadWallClock());
            const std::string serverLine = logline::ServerTime(log, server);
            log.WriteLogLine({serverLine, logline::LocalTime(log)});
        }

        std::int16_t status = 0;
        if (!receivedText.empty()) {
            const platform::WallReading now = clock.ReadWallClock();
            const std::int64_t lag = SecondsBetween(InZoneOf(receivedText, receivedZone, now), now.local);
            status = lag > kMaxLagSeconds ? 0 : 100;
        }
        state.Servers(n).Status = status;
    } catch (const RunError& e) {
        // The log failing is the probe failing: no entry of the handler's own can stand in
        // for the lost one, so it passes up and ends the run.
        if (e.kind() == ErrorKind::FileOperation) throw;
        CheckError(form, state, n);
    } catch (const std::exception&) {
        CheckError(form, state, n);
    }
}

}  // namespace pelldor::dropin
