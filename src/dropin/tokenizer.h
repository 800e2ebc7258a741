#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace pelldor::dropin {

inline constexpr std::int16_t kTokenSlots = 13;

// Token n (1 to 13) is slot n - 1. A slot is empty or holds at least one character.
using Tokens = std::array<std::string, kTokenSlots>;

// Splits the command-line tail at blanks and tabs, double quotes grouping; the last slot
// takes the rest of the line once reached. Its length, in the system's own units, is a
// 16-bit count, and so is the position after its end: a length of 32,767 or more is an
// overflow RunError.
void SplitCommandLine(std::string_view tail, std::size_t length, Tokens& tokens);

}  // namespace pelldor::dropin
