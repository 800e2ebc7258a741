#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace pelldor {

// The program's run-time errors. Only the argument reader and the server check handle
// them; anywhere else one ends the run.
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

}  // namespace pelldor
