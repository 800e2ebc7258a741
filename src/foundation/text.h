#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/network.h"

// Texts the program reads from its command line and writes for people.
namespace pelldor {

// Text from outside the program (the command line, a host name, a folder's name) as
// printable ASCII: a control byte or a byte of 0x80 or more becomes \r, \n or \xHH, so it
// can neither write a line of its own nor put bytes into a log or a status line that are
// not ASCII. Printable text stays as it is, backslashes included.
[[nodiscard]] std::string Printable(std::string_view text);

// An optionally signed decimal: digits with at most one point among or after them, at
// least one digit ("12", "-0.5", "+.25", "3."). Nothing else: no blanks, exponent, "inf" or
// "nan". The one reader of numbers; the two below take what it found.
[[nodiscard]] std::optional<double> ParseDecimal(std::string_view text);
// The same without a point, exactly: nullopt for a fraction and for a value beyond 64 bits.
[[nodiscard]] std::optional<long long> ParseInteger(std::string_view text);

// An IPv6 address in brackets, as the command line writes one where a colon would be
// ambiguous: "[2001:db8::1]" alone, or followed by ":PORT". Nullopt for text that does not
// start with a bracket closed this way; the rest of a server text is each mode's own.
struct Bracketed {
    std::string_view host;
    std::optional<std::string_view> port;  // after "]:", possibly empty
};
[[nodiscard]] std::optional<Bracketed> SplitBracketed(std::string_view text);

// "192.0.2.1:123", or "[2001:db8::1]:123" with the address in its shortest form
// (RFC 5952) and a zone's number after a "%".
[[nodiscard]] std::string AddressText(const platform::NetAddress& address);

// A duration in seconds with up to nine significant digits: "10 s", "0.25 s".
[[nodiscard]] std::string SecondsText(std::int64_t nanos);

}  // namespace pelldor
