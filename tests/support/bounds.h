#pragma once

#include <algorithm>
#include <chrono>

// How long a drop-in run may take, from the pacing it promises: the one home of that bound
// for every test that holds a run to it, on the virtual clock or the real one.
namespace pelldor::testing::bounds {

using std::chrono::milliseconds;

// An attempt's wait ends in the first whole second after its timeout: at most a second
// beyond it, and the poll that sees it.
inline constexpr milliseconds kBeyondTheTimeout{1100};
// Starting and ending the process, the argument reader and the lookup of a numeric address.
inline constexpr milliseconds kStartAndEnd{500};
// With the log on: the pause after each time-client notice, and at the end the result's
// pause and the appends themselves. The sending line's pause lies inside the attempt, whose
// deadline is fixed before it.
inline constexpr milliseconds kNoticePause{300};
inline constexpr milliseconds kLoggedEnd{1000};

// The most a run with these settings may take, given the notices its log shows.
constexpr milliseconds DropInRun(int timeout, int retries, bool logging, long notices) {
    const long attempts = std::max(retries, 0) + 1;
    const milliseconds logged = logging ? kNoticePause * notices + kLoggedEnd : milliseconds(0);
    return (std::chrono::seconds(std::max(timeout, 0)) + kBeyondTheTimeout) * attempts + kStartAndEnd + logged;
}

}  // namespace pelldor::testing::bounds
