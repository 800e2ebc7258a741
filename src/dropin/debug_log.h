#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dropin/run_state.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace pelldor::dropin {

// The drop-in's log beside the executable: its switch, its entries, the stamp on each line.
class DebugLog {
public:
    DebugLog(platform::Files& files, platform::Clock& clock);

    // Empty when the program's folder cannot be known: the run then has no log.
    [[nodiscard]] const std::string& Path() const { return path_; }
    // Whether the switch file exists, as an ordinary file that may be written.
    [[nodiscard]] bool SwitchFileExists();
    // The current local time as "YYYY-MM-DD HH:MM:SS", read afresh on every call.
    [[nodiscard]] std::string LogTimestamp();
    // Appends one entry (its lines, each ended by CR LF) with a single open, write and
    // close; a failure is a file-operation RunError and leaves nothing open. An entry that
    // another program's hold keeps out is lost, and the run goes on.
    void WriteLogLine(const std::vector<std::string>& lines);
    [[nodiscard]] platform::Clock& clock() { return clock_; }

private:
    platform::Files& files_;
    platform::Clock& clock_;
    std::string path_;
};

// Turns logging on when the switch file exists, and writes the start entry. The file is
// not looked at again during the run.
void SwitchTest(DebugLog& log, RunState& state);

[[nodiscard]] inline bool Logging(const RunState& state) { return state.DebugOn != 0; }

// Every line the log holds, each stamped with the local time when it is built. Readers
// of existing logs match these byte for byte.
namespace logline {
[[nodiscard]] std::vector<std::string> Start(DebugLog& log);
[[nodiscard]] std::string CommandLine(DebugLog& log, std::string_view tail);
[[nodiscard]] std::string ArgumentError(DebugLog& log);
[[nodiscard]] std::string Sending(DebugLog& log, std::string_view host, std::int32_t port);
// "n/a" when no time came back.
[[nodiscard]] std::string ServerTime(DebugLog& log, const std::optional<platform::LocalDateTime>& server);
// Two readings of the clock: one for the stamp, one for the value.
[[nodiscard]] std::string LocalTime(DebugLog& log);
[[nodiscard]] std::string CheckError(DebugLog& log, std::string_view host, std::int32_t port);
[[nodiscard]] std::string ErrorNotice(DebugLog& log, std::int16_t code, std::string_view description);
[[nodiscard]] std::string Result(DebugLog& log, std::int16_t result);
}  // namespace logline

}  // namespace pelldor::dropin
