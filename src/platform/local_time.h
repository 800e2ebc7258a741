#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelldor::platform {

// A naive local wall-clock date and time: the fields as the clock shows them, with no
// time zone attached. Arithmetic on it is plain calendar arithmetic, so a daylight-saving
// change between two readings never shifts a difference or a deadline.
struct LocalDateTime {
    std::int32_t year = 0;
    std::int32_t month = 0;
    std::int32_t day = 0;
    std::int32_t hour = 0;
    std::int32_t minute = 0;
    std::int32_t second = 0;

    auto operator<=>(const LocalDateTime&) const = default;
};

// A local date-time with the fraction of its second, as the time client reports it.
struct PreciseLocalTime {
    LocalDateTime whole;
    std::uint32_t nanos = 0;  // 0 to 999,999,999
};

// Seconds since 1970-01-01 00:00:00 of the same naive calendar (proleptic Gregorian).
[[nodiscard]] std::int64_t ToSerialSeconds(const LocalDateTime& t);
[[nodiscard]] LocalDateTime FromSerialSeconds(std::int64_t serial);
[[nodiscard]] LocalDateTime AddSeconds(const LocalDateTime& t, std::int64_t seconds);
// to - from, in whole seconds.
[[nodiscard]] std::int64_t SecondsBetween(const LocalDateTime& from, const LocalDateTime& to);
// Adds a signed offset in nanoseconds to a precise time, carrying into the whole seconds.
[[nodiscard]] PreciseLocalTime AddNanos(const PreciseLocalTime& t, std::int64_t nanos);

// "YYYY-MM-DD HH:MM:SS". Empty when the year does not fit four digits or a field is out
// of its calendar range, since such a value has no text form.
[[nodiscard]] std::string FormatTimestamp(const LocalDateTime& t);
// Reads exactly the 19-character pattern back; nullopt for anything else, including a
// date that does not exist (2026-02-30).
[[nodiscard]] std::optional<LocalDateTime> ParseTimestamp(std::string_view text);

}  // namespace pelldor::platform
