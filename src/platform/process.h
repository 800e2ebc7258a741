#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The process and its console: how it was started, where its text goes, the system's
// messages to it.
namespace pelldor::platform {

class Process {
public:
    virtual ~Process() = default;

    // The name the program was started by, without its folder (or ".exe"): a link named
    // check_pelldor starts the plugin.
    virtual std::string ProgramName() = 0;
    // The arguments after the program's name as one text, to be split by the program's
    // own rules.
    virtual std::string CommandLineTail() = 0;
    // The same arguments as the system splits them, for the modes that read options: argv
    // on Linux, the C runtime's rules on Windows.
    virtual std::vector<std::string> Arguments() = 0;
    // How long that text is in the units the system counts its command lines in: bytes,
    // or UTF-16 code units on Windows.
    [[nodiscard]] virtual std::size_t CommandLineLength(std::string_view tail) const { return tail.size(); }

    // The whole text in one piece, quietly nothing when there is nowhere to write it. A
    // reader that does not read holds it up for about a second at most; what it has not
    // taken by then is dropped.
    virtual void WriteStandardOutput(std::string_view text) = 0;
    virtual void WriteStandardError(std::string_view text) = 0;

    // Hands the system's own messages for the process (a stop signal, a close request) to
    // their handlers; a system without such messages has nothing to do.
    virtual void DispatchSystemMessages() {}
    // How a stop from outside ends the run: with this status, and on standard output
    // `line` followed by what stopped it ("SIGTERM", "a close request") and a newline;
    // nothing written for an empty `line`. Until set: status 1, nothing written.
    virtual void SetStop(int /*status*/, std::string_view /*line*/) {}
    // Runs `program` in place of this process, with these arguments after its name and
    // everything else as it is (the standard streams, the blocked stop signals, so that
    // none is lost on the way). Returns only when it could not, with the reason.
    [[nodiscard]] virtual std::string ReplaceWith(const std::string& /*program*/, const std::vector<std::string>& /*args*/) {
        return "not on this system";
    }
};

}  // namespace pelldor::platform
