#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace pelldor::dropin {

// The run-time errors of the drop-in's procedures. Only the argument reader and the server
// check handle them, and neither handles a failure of the log; anywhere else one ends the
// run as unhandled.
enum class ErrorKind { Conversion, Bounds, Overflow, Component, FileOperation };

class RunError : public std::runtime_error {
public:
    // what() names the kind before the text, as the line of an error that no handler took
    // shows it: "file operation: cannot append to ...".
    RunError(ErrorKind kind, const std::string& text);
    [[nodiscard]] ErrorKind kind() const { return kind_; }

private:
    ErrorKind kind_;
};

// Every addition to a 16-bit count or setting goes through here.
[[nodiscard]] std::int16_t CheckedAdd16(std::int16_t a, std::int16_t b);
// A length or index that must fit a 16-bit signed count.
[[nodiscard]] std::int16_t CheckedNarrow16(long long value);

// How a run ended, for main to end the process with.
struct RunEnd {
    enum class Way {
        Exit,       // at once, with the run's result as the status
        Normal,     // the ordinary end of a run that sets no status of its own: 0
        Unhandled,  // an error that no handler took: one line on standard error, and 1
    };
    Way way = Way::Normal;
    int status = 0;
    std::string message;  // for Unhandled: what went wrong
};

// Thrown where a run ends from deep inside it (an error leaving an event handler): no
// std::exception, so that no handler of the run can take it on its way to the driver.
struct RunEnded {
    RunEnd end;
};

}  // namespace pelldor::dropin
