#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_queue.h"
#include "platform/net.h"
#include "platform/time_math.h"

namespace pelldor::platform {

// One reading of the wall clock, in both forms the program needs: UTC for the wire and
// the naive local fields for everything the program shows and compares.
struct WallReading {
    UnixTime utc;
    LocalDateTime local;  // the local fields of the same instant, whole seconds

    // Local minus UTC, in seconds: the zone offset in force at this reading.
    [[nodiscard]] std::int64_t ZoneOffsetSeconds() const { return ToSerialSeconds(local) - utc.seconds; }
};

// How a run ended, for a test's virtual machine: through ExitProcess, the ordinary end, or
// an error that no handler took.
enum class EndWay { Exit, Normal, Unhandled };

// The only door to the operating system. The program reads no clock, sleeps, touches no
// file and opens no socket except through here, so tests can put a virtual machine in
// its place. Whatever ends the process never returns: an implementation exits or, in a
// test, throws.
class Platform {
public:
    virtual ~Platform() = default;

    virtual WallReading ReadWallClock() = 0;
    virtual std::int64_t MonotonicNanos() = 0;
    virtual void Sleep(int milliseconds) = 0;

    // The real folder of the program's file; empty when it cannot be known, and then the
    // run has no log rather than one in a guessed place.
    virtual std::string ExecutableDirectory() = 0;
    virtual char PathSeparator() const = 0;
    // The arguments after the program's name as one text, to be split by the program's
    // own rules.
    virtual std::string CommandLineTail() = 0;
    // The same arguments as the system splits them, for the modes that read options: argv
    // on Linux, the C runtime's rules on Windows.
    virtual std::vector<std::string> Arguments() = 0;
    // How long that text is in the units the system counts its command lines in: bytes,
    // or UTF-16 code units on Windows.
    [[nodiscard]] virtual std::size_t CommandLineLength(std::string_view tail) const { return tail.size(); }

    virtual bool IsRegularFile(const std::string& path) = 0;
    // Opens for appending (creating the file when missing) without waiting, writes the text
    // in one piece and closes; anything but an ordinary file fails, and a write cut short
    // leaves nothing of the text behind where nothing followed it. Empty on success, else
    // a text for the failure, the system's own where it has one.
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
    // The same for standard error.
    virtual void WriteStandardError(std::string_view text) = 0;

    // Ends the process at once with this status.
    [[noreturn]] void ExitProcess(int status) { End(EndWay::Exit, status); }
    // The ordinary end of a run that sets no status of its own: status 0.
    [[noreturn]] void EndNormally() { End(EndWay::Normal, 0); }
    // An error that no handler of the program takes: one line on standard error and
    // status 1, never a status that could read as a verdict.
    [[noreturn]] void EndOnUnhandledError(std::string_view what);

    // The event-delivery step: hands the system's own messages for the process to their
    // handlers, lets every event source advance, then runs each pending event's handler to
    // completion, oldest first. Handlers may re-enter this step. An error that leaves a
    // handler ends the run here: the code that was waiting never sees it.
    void DeliverEvents();
    EventQueue& Events() { return events_; }

    LocalDateTime LocalNow() { return ReadWallClock().local; }

protected:
    // Where a system has a message queue of its own (a window's), it is emptied here; a
    // system without one has nothing to do.
    virtual void DispatchSystemMessages() {}
    // Ends the process with this status, at once: no cleanup may wait on a resolver thread
    // that is still inside a lookup. The way matters only to a test's virtual machine.
    virtual void Terminate(EndWay way, int status) = 0;

private:
    [[noreturn]] void End(EndWay way, int status);

    EventQueue events_;
};

// A platform's last resort where the system's random source fails: readings that differ
// from run to run, mixed so that every bit of the result depends on all of them.
[[nodiscard]] std::uint64_t MixReadings(std::uint64_t wall, std::uint64_t monotonic, std::uint64_t process);

}  // namespace pelldor::platform
