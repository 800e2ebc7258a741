#pragma once

namespace pelldor {

// A whole run of the drop-in, from the log switch to the exit status. Never returns:
// every path ends the process.
[[noreturn]] void RunDriver();

}  // namespace pelldor
