#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The program's time arithmetic, in one place: durations in nanoseconds, instants as whole
// seconds and the nanoseconds past them, and the naive local calendar it shows and compares.
namespace pelldor::platform {

inline constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

// Wide enough for a sum of two 64-bit differences scaled to nanoseconds.
__extension__ typedef __int128 Int128;

// An instant as seconds since 1970-01-01 00:00:00 and the nanoseconds past that second.
struct UnixTime {
    std::int64_t seconds = 0;
    std::uint32_t nanos = 0;  // 0 to 999,999,999

    bool operator==(const UnixTime&) const = default;
};

// Moves an instant by a signed duration, carrying into the seconds.
[[nodiscard]] UnixTime AddNanos(const UnixTime& t, std::int64_t nanos);

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

// A local date-time with the fraction of its second, as the time client reports it, and
// the zone offset it is given in: local minus UTC, in seconds. A reading of the local clock
// taken under another offset (after a daylight-saving change) is compared with it only
// once both are in one zone.
struct PreciseLocalTime {
    LocalDateTime whole;
    std::uint32_t nanos = 0;  // 0 to 999,999,999
    std::int64_t zoneOffsetSeconds;  // no default, so that no maker of one can leave it out
};

// Seconds since 1970-01-01 00:00:00 of the same naive calendar (proleptic Gregorian).
[[nodiscard]] std::int64_t ToSerialSeconds(const LocalDateTime& t);
[[nodiscard]] LocalDateTime FromSerialSeconds(std::int64_t serial);
[[nodiscard]] LocalDateTime AddSeconds(const LocalDateTime& t, std::int64_t seconds);
// to - from, in whole seconds.
[[nodiscard]] std::int64_t SecondsBetween(const LocalDateTime& from, const LocalDateTime& to);
[[nodiscard]] PreciseLocalTime AddNanos(const PreciseLocalTime& t, std::int64_t nanos);

// "YYYY-MM-DD HH:MM:SS". Empty when the year does not fit four digits or a field is out
// of its calendar range, since such a value has no text form.
[[nodiscard]] std::string FormatTimestamp(const LocalDateTime& t);
// The same with nine digits of the second's fraction after a point.
[[nodiscard]] std::string FormatPreciseTimestamp(const PreciseLocalTime& t);
// Reads exactly the 19-character pattern back; nullopt for anything else, including a
// date that does not exist (2026-02-30).
[[nodiscard]] std::optional<LocalDateTime> ParseTimestamp(std::string_view text);

}  // namespace pelldor::platform
