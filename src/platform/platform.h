#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/event_queue.h"
#include "platform/local_time.h"
#include "platform/net.h"

namespace pelldor::platform {

// One reading of the wall clock, in both forms the program needs: UTC for the wire and
// the naive local fields for everything the program shows and compares.
struct WallReading {
    std::int64_t unixSeconds = 0;
    std::uint32_t nanos = 0;
    LocalDateTime local;  // the local fields of the same instant, whole seconds
};

// The only door to the operating system. The program reads no clock, sleeps, touches no
// file and opens no socket except through here, so tests can put a virtual machine in
// its place.
class Platform {
public:
    virtual ~Platform() = default;

    virtual WallReading ReadWallClock() = 0;
    virtual std::int64_t MonotonicNanos() = 0;
    virtual void Sleep(int milliseconds) = 0;

    virtual std::string ExecutableDirectory() = 0;
    virtual char PathSeparator() const = 0;
    // The arguments after the program's name as one text, to be split by the program's
    // own rules.
    virtual std::string CommandLineTail() = 0;

    virtual bool IsRegularFile(const std::string& path) = 0;
    // Opens for appending (creating the file when missing), writes the text in one piece
    // and closes. Empty on success, else the system's text for the failure.
    [[nodiscard]] virtual std::string AppendToFile(const std::string& path,
                                                   std::string_view text) = 0;

    [[nodiscard]] virtual std::uint64_t Random64() = 0;
    // Starts resolving a host name or numeric address; never blocks the caller.
    [[nodiscard]] virtual std::unique_ptr<NameLookup> StartLookup(const std::string& host,
                                                                  std::uint16_t port) = 0;
    [[nodiscard]] virtual OpenResult OpenUdp(const NetAddress& peer) = 0;

    // For the few runs that answer on the console (--version, --help): the whole text in
    // one piece, quietly nothing when there is no standard output to write to.
    virtual void WriteStandardOutput(std::string_view text) = 0;

    // Ends the process at once with this status.
    [[noreturn]] virtual void ExitProcess(int status) = 0;
    // The ordinary end of a run that sets no status of its own: status 0.
    [[noreturn]] virtual void EndNormally() = 0;
    // An error that no handler of the program takes: one line on standard error and
    // status 1, never a status that could read as a verdict.
    [[noreturn]] virtual void EndOnUnhandledError(std::string_view what) = 0;

protected:
    // Where a system has a message queue of its own (a window's), it is emptied here; a
    // system without one has nothing to do.
    virtual void DispatchSystemMessages() {}

public:

    // The event-delivery step: hands the system's own messages for the process to their
    // handlers, lets every event source advance, then runs each pending event's handler to
    // completion, oldest first. Handlers may re-enter this step.
    void DeliverEvents();
    EventQueue& Events() { return events_; }

    LocalDateTime LocalNow() { return ReadWallClock().local; }

private:
    EventQueue events_;
};

// A platform's last resort where the system's random source fails: readings that differ
// from run to run, mixed so that every bit of the result depends on all of them.
[[nodiscard]] std::uint64_t MixReadings(std::uint64_t wall, std::uint64_t monotonic, std::uint64_t process);

// The process-wide platform; installed once by main (or by a test fixture).
Platform& Current();
void Install(Platform* platform);

// The ends of a run through the installed platform. An override cannot promise not to
// return, so these close the door behind it.
[[noreturn]] void ExitProcess(int status);
[[noreturn]] void EndNormally();

}  // namespace pelldor::platform
