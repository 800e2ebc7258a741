#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace pelldor {

// Reads an optionally signed decimal integer, allowing blanks and tabs around it (they
// can only get there through quotes). Nullopt for anything else, fractions included, and
// for a value beyond 64 bits.
[[nodiscard]] std::optional<long long> ParseInteger(std::string_view text);

// Fills the timeout, the retry limit and server row 1 from the command line. An argument
// error ends the program here when logging is on; otherwise it leaves ServerCount at 0.
void ReadArguments();

}  // namespace pelldor
