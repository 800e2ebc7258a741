#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/files.h"

// The log beside the program, and the texts of its lines that `pelldor check -v` writes too.
namespace pelldor {

// Both the switch and the log: its presence beside the executable at start turns the
// drop-in's logging on for the run.
inline constexpr std::string_view kLogFileName = "ntpdebug.txt";

// Empty when the program's folder cannot be known: the run then has no log.
[[nodiscard]] std::string LogFilePath(platform::Files& files);

// The texts that follow the timestamp in the lines of a query. Each brings its own leading
// blank, but for the error notice, whose "Error" follows the seconds directly. Text from
// outside is made printable.
namespace logtext {
[[nodiscard]] std::string Sending(std::string_view host, std::int32_t port);
[[nodiscard]] std::string ServerTime(std::string_view shown);
[[nodiscard]] std::string LocalTime(std::string_view shown);
[[nodiscard]] std::string ErrorNotice(std::int16_t code, std::string_view description);
}  // namespace logtext

}  // namespace pelldor
