#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "run/run_state.h"

namespace pelldor {

// Both the switch and the log: its presence beside the executable at start turns
// logging on for the run.
inline constexpr std::string_view kLogFileName = "ntpdebug.txt";

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

}  // namespace pelldor
