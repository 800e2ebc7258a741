#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/time_math.h"
#include "foundation/run_state.h"

namespace pelldor {

// Both the switch and the log: its presence beside the executable at start turns
// logging on for the run.
inline constexpr std::string_view kLogFileName = "ntpdebug.txt";

// Empty when the program's folder cannot be known: the run then has no log.
[[nodiscard]] std::string LogFilePath();

// The current local time as "YYYY-MM-DD HH:MM:SS", read afresh on every call.
[[nodiscard]] std::string LogTimestamp();

// Appends one entry (its lines, each ended by CR LF) with a single open, write and close;
// a failure is a file-operation RunError and leaves nothing open.
void WriteLogLine(const std::vector<std::string>& lines);

// Turns logging on when the switch file exists as an ordinary file, and writes the start
// entry. The file is not looked at again during the run.
void SwitchTest();

[[nodiscard]] inline bool Logging() { return runState.DebugOn != 0; }

// Text from outside the program (the command line, a host name) as printable ASCII: a
// control byte or a byte of 0x80 or more becomes \r, \n or \xHH, so it can neither write
// a line of its own nor put bytes into the log that are not ASCII. Printable text stays
// as it is, backslashes included.
[[nodiscard]] std::string Printable(std::string_view text);

// The texts that follow the timestamp in the lines of a query, which `pelldor check -v`
// writes too, there stamped to the nanosecond.
namespace logtext {
[[nodiscard]] std::string Sending(std::string_view host, std::int32_t port);
[[nodiscard]] std::string ServerTime(std::string_view shown);
[[nodiscard]] std::string LocalTime(std::string_view shown);
[[nodiscard]] std::string ErrorNotice(std::int16_t code, std::string_view description);
}  // namespace logtext

// Every line the log holds, each stamped with the local time when it is built. Readers
// of existing logs match these byte for byte.
namespace logline {
[[nodiscard]] std::vector<std::string> Start();
[[nodiscard]] std::string CommandLine(std::string_view tail);
[[nodiscard]] std::string ArgumentError();
[[nodiscard]] std::string Sending(std::string_view host, std::int32_t port);
// "n/a" when no time came back.
[[nodiscard]] std::string ServerTime(const std::optional<platform::LocalDateTime>& server);
// Two readings of the clock: one for the stamp, one for the value.
[[nodiscard]] std::string LocalTime();
[[nodiscard]] std::string CheckError(std::string_view host, std::int32_t port);
[[nodiscard]] std::string ErrorNotice(std::int16_t code, std::string_view description);
[[nodiscard]] std::string Result(std::int16_t result);
}  // namespace logline

}  // namespace pelldor
