#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/process.h"

// Runs of the probe binary, each from a copy in a fresh folder where the log may go, and
// the checks on how a run ended and what it logged.
namespace pelldor::testing {

// Generous for a sanitizer build on a loaded 2-core machine that others build on; a hung
// run is still caught. The exact pauses are pinned on the virtual clock by the unit tests.
inline constexpr std::chrono::milliseconds kSlack{5000};

// A timeout, in seconds, that a run which ends on its own never waits for: a run with it is
// bounded and killed as one without a timeout, so one that did wait breaks the bound.
inline constexpr int kPatientTimeout = 30;

struct ProbeSetup {
    bool logging = false;  // an empty ntpdebug.txt beside the copy before the start
    // 0: RunDropIn's bound for its settings, 15 s for RunProbe.
    std::chrono::milliseconds killAfter{0};
    // A command that runs the copy, put before it on the command line: {"unshare", "--net", "--"}.
    std::vector<std::string> via{};
    // A folder inside the run's folder to hold the copy (and so the log), by this name.
    std::string folder{};
    // Runs in the run's folder before the start.
    std::function<void(const std::string& folder)> prepare{};
    // Runs on a second thread during the run; `over` is set once the run has ended.
    std::function<void(const std::string& log, const std::atomic<bool>& over)> during{};
    // Runs in the run's folder after the end, before the folder goes.
    std::function<void(const std::string& folder)> inspect{};
};

struct ProbeRun {
    RunResult result;
    bool logging = false;
    bool logExists = false;          // as a regular file; a link in its place is not read
    std::vector<std::string> lines;  // without their CR LF
    std::string tail;                // what a CR LF did not end
    std::string before;              // local time just before and after the run
    std::string after;
};

ProbeRun RunProbe(const std::string& binary, const std::vector<std::string>& args, const ProbeSetup& setup = {});

// The binary under test run as "TIMEOUT RETRIES SERVER", killed once it has outrun every
// bound such a run may keep.
ProbeRun RunDropIn(int timeout, int retries, const std::string& server, ProbeSetup setup = {});

// The most a drop-in run with these settings may take on the real clock: the bound of its
// pacing for the notices its log shows (bounds.h), and kSlack.
std::chrono::milliseconds Bound(const ProbeRun& run, int timeout, int retries);

// Put before the binary in `via`: runs the rest of the command line with "stdout" or
// "stderr" on a pipe whose reader has already gone, and ends with its status as a shell
// gives it (128 + n for signal n).
std::vector<std::string> WithReaderGone(const std::string& stream);

// unshare(1), for ProbeSetup::via; empty where it is missing.
const std::string& UnshareTool();
// A run can have a network namespace of its own, through {UnshareTool(), "--net", "--"},
// so that a name lookup cannot leave the machine.
bool CanIsolate();

// This build's pelldor.
const std::string& BuiltBinary();
// The binary under test: PELLDOR_SYSTEM_BINARY from the environment (a Windows pelldor.exe,
// say), else this build's.
const std::string& ProbeBinary();
// The command that runs the binary under test, put between `via` and the binary: the words
// of PELLDOR_SYSTEM_LAUNCHER from the environment, empty when the binary runs by itself.
const std::vector<std::string>& Launcher();
// The binary runs under Wine: what Wine cannot do is then checked as Wine does it.
bool UnderWine();

// How the run ended and what it logged, for failure messages.
std::string Dump(const ProbeRun& run);

// Ended through exit with this status, nothing on either stream, a log only when one was
// asked for, and that one ending with CR LF.
void ExpectEnd(const ProbeRun& run, int status);

// ExpectEnd, and within the Bound of a drop-in run with these settings.
void ExpectEndWithin(const ProbeRun& run, int status, int timeout, int retries);

// At least `least`, and at most `most` plus kSlack.
void ExpectElapsed(const ProbeRun& run, std::chrono::milliseconds least, std::chrono::milliseconds most);

// A line that may turn up anywhere, at most `most` times: the client's notice for a query
// the run has already given up on arrives whenever events are next delivered, even after
// the return value.
struct Stray {
    std::string text;
    int most = 0;
};

// Expected lines are the text after the timestamp ("" for the empty line that opens an
// entry), in which "{ts}" stands for any timestamp and "{any}" for any text. Every
// timestamp lies within the run and never goes back; stray lines are left out before the
// others are matched in order. Ignored when the run does not log.
void ExpectLog(const ProbeRun& run, const std::vector<std::string>& expected, const Stray& stray = {});

// The log of a run whose one query was answered with a time.
std::vector<std::string> AnsweredLog(const std::string& tail, const std::string& host, const std::string& port,
                                     int status);

// The log of a run that got no time: each attempt's sending line, followed by `notice` and
// its error suffix when given.
std::vector<std::string> FailedLog(const std::string& tail, const std::string& host, const std::string& port,
                                   const std::string& notice, int attempts = 1);

// Server time minus local time as the log shows them, in whole seconds.
long long LoggedLag(const ProbeRun& run);

}  // namespace pelldor::testing
