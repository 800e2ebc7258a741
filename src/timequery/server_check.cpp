#include "timequery/server_check.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "foundation/debug_log.h"
#include "foundation/run_error.h"
#include "foundation/run_state.h"
#include "timequery/net_clock.h"

namespace pelldor::timequery {
namespace {

// Polls until the client is done or the deadline has passed. The deadline is a wall-clock
// date-time; the monotonic limit beside it only matters when the wall clock is stepped
// back during the wait, which would otherwise hold the run far past its deadline.
void WaitForAnswer(TimeClient& client, std::int64_t deadlineFixedAt) {
    auto& os = Os();
    const std::int64_t limit =
        (std::max<std::int64_t>(runState.TimeoutSeconds, 0) + 1) * platform::kNanosPerSecond;
    for (;;) {
        Pause(20);
        try {
            if (client.QueryDone()) return;
            if (os.LocalNow() > runState.Deadline) return;
            if (os.MonotonicNanos() - deadlineFixedAt > limit) return;
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
    std::string text = platform::FormatTimestamp(received->whole);
    if (text.empty()) throw RunError(ErrorKind::Conversion, "the received time has no timestamp form");
    return text;
}

platform::LocalDateTime ReadBack(const std::string& text) {
    const auto time = platform::ParseTimestamp(text);
    if (!time) throw RunError(ErrorKind::Conversion, "\"" + text + "\" is not a date-time");
    return *time;
}

// The server's time as the local clock shows time in the zone of `now`: a daylight-saving
// change since the client read its own clock moves it as it moved the clock, so it can
// neither part the log's two times nor move the verdict.
platform::LocalDateTime InZoneOf(const std::string& text, std::int64_t zone, const platform::WallReading& now) {
    return platform::AddSeconds(ReadBack(text), now.ZoneOffsetSeconds() - zone);
}

}  // namespace

void CheckNtpStatus(std::int16_t n) {
    auto& os = Os();
    try {
        runState.AttemptCount = 0;
        std::string receivedText;
        std::int64_t receivedZone = 0;
        for (;;) {
            receivedText.clear();
            runState.Deadline = platform::AddSeconds(os.LocalNow(), runState.TimeoutSeconds);
            const std::int64_t deadlineFixedAt = os.MonotonicNanos();
            if (Logging()) {
                const ServerEntry& row = runState.Servers(n);
                WriteLogLine({logline::Sending(row.Host, row.Port)});
                Pause(300);
            }

            TimeClient& client = NetClock();
            client.QueryTimeout(runState.TimeoutSeconds);
            client.QueryHost(runState.Servers(n).Host);
            client.QueryPort(runState.Servers(n).Port);
            try {
                client.BeginQuery();
            } catch (const std::exception&) {
                // A failed start is not the verdict: the wait below still runs to
                // QueryDone or the deadline.
            }
            WaitForAnswer(client, deadlineFixedAt);

            receivedText = ReceivedTimeText(client, receivedZone);
            runState.AttemptCount = CheckedAdd16(runState.AttemptCount, 1);
            if (!receivedText.empty() || runState.AttemptCount > runState.RetryLimit) break;
        }

        if (Logging()) {
            std::optional<platform::LocalDateTime> server;
            if (!receivedText.empty()) server = InZoneOf(receivedText, receivedZone, os.ReadWallClock());
            const std::string serverLine = logline::ServerTime(server);
            WriteLogLine({serverLine, logline::LocalTime()});
        }

        std::int16_t status = 0;
        if (!receivedText.empty()) {
            const platform::WallReading now = os.ReadWallClock();
            const std::int64_t lag = platform::SecondsBetween(InZoneOf(receivedText, receivedZone, now), now.local);
            status = lag > kMaxLagSeconds ? 0 : 100;
        }
        runState.Servers(n).Status = status;
    } catch (const std::exception&) {
        if (Logging()) {
            const ServerEntry& row = runState.Servers(n);
            WriteLogLine({logline::CheckError(row.Host, row.Port)});
        }
    }
}

}  // namespace pelldor::timequery
