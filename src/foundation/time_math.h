#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

// The program's time arithmetic, in one place: durations in nanoseconds, instants as whole
// seconds and the nanoseconds past them, and the naive local calendar it shows and compares.
// Arithmetic on a LocalDateTime is plain calendar arithmetic, with no time zone rule.
namespace pelldor {

using platform::kNanosPerSecond;
using platform::LocalDateTime;
using platform::UnixTime;
using platform::WallReading;

// Wide enough for a sum of two 64-bit differences scaled to nanoseconds.
__extension__ typedef __int128 Int128;

// Moves an instant by a signed duration, carrying into the seconds.
[[nodiscard]] UnixTime AddNanos(const UnixTime& t, std::int64_t nanos);

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

// Local minus UTC at this reading, in seconds: the zone offset in force then.
[[nodiscard]] std::int64_t ZoneOffsetSeconds(const WallReading& reading);
// The reading as a local time to the nanosecond, in its own zone.
[[nodiscard]] PreciseLocalTime PreciseLocal(const WallReading& reading);

}  // namespace pelldor
