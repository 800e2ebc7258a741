#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pelldor::testing {

struct RunResult {
    bool exited = false;  // ended through exit; else by a signal
    int exitStatus = -1;
    int signal = 0;
    bool killed = false;  // ran past its bound and was killed
    std::string out;
    std::string err;
    std::chrono::milliseconds elapsed{0};
};

// Runs the program with stdin from /dev/null, both output streams captured, and every
// signal at its default. A run still going after killAfter is ended with SIGKILL. A program
// that cannot be started says so on standard error, and exits with status 127 if it has a
// process at all.
RunResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                     std::chrono::milliseconds killAfter);

// A fresh folder under the temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Copies an executable into the folder under its own name, still executable; returns the
// new path. Throws when the copy fails.
std::string CopyExecutable(const std::string& binary, const std::string& folder);

// This machine cannot give a test what it needs: a program is missing, or the test runs
// without the rights it needs. Tests skip on it rather than fail.
class Unavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The first executable of that name in PATH or in the usual bin and sbin folders; empty
// when there is none.
std::string FindProgram(const std::string& name);

struct DaemonSetup {
    std::vector<std::string> args{};  // the program's path first
    std::vector<std::string> env{};   // added to ours, which goes without LD_PRELOAD and FAKETIME
    std::string output{};             // appended to by both output streams
    std::string netns{};  // path of a network namespace to run in; empty for this process's own
};

// A server program running in the background as our child, which can never set this
// machine's clock: it starts without CAP_SYS_TIME in any capability set, bounding set
// included, so neither it nor anything it runs can take it back. It ends with the test
// process and is stopped when destroyed.
class Daemon {
public:
    explicit Daemon(const DaemonSetup& setup);
    ~Daemon() { Stop(); }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // False once it has ended; then Ending() tells how.
    bool Running();
    [[nodiscard]] const std::string& Ending() const { return ending_; }
    // Asks `ready` every `every` until it holds, then makes sure from /proc that the
    // process holds CAP_SYS_TIME in no set it could use (throws if it does). False when
    // `bound` passes first or the program ends.
    bool AwaitReady(std::chrono::milliseconds bound, std::chrono::milliseconds every,
                    const std::function<bool()>& ready);
    // SIGTERM, then SIGKILL after three seconds.
    void Stop();

private:
    pid_t pid_ = -1;
    std::string ending_;
};

}  // namespace pelldor::testing
