#pragma once

#include <string>
#include <string_view>

// What the program says of itself when asked: its version, and how each mode is used.
namespace pelldor {

// "pelldor 0.1.0", ended by a newline.
[[nodiscard]] std::string VersionText();

// The drop-in's --help; `logPath` is where its log would be, empty when unknown.
[[nodiscard]] std::string DropInHelp(std::string_view logPath);

// One line: how the options of `pelldor check` go.
[[nodiscard]] std::string_view CheckUsage();
[[nodiscard]] std::string CheckHelp();

}  // namespace pelldor
