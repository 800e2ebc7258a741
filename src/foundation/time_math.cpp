#include "foundation/time_math.h"

#include <cstdio>

namespace pelldor {
namespace {

// Days from 1970-01-01 in the proleptic Gregorian calendar; valid far beyond any year a
// clock or a server can give us, with no overflow for |year| < 10^9.
std::int64_t DaysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, std::int64_t& m, std::int64_t& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = yoe + era * 400 + (m <= 2 ? 1 : 0);
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

bool IsLeap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

std::int64_t DaysInMonth(std::int64_t y, std::int64_t m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

bool IsValid(const LocalDateTime& t) {
    return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= DaysInMonth(t.year, t.month) &&
           t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 &&
           t.second <= 59;
}

}  // namespace

std::int64_t ToSerialSeconds(const LocalDateTime& t) {
    return DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600LL + t.minute * 60LL +
           t.second;
}

LocalDateTime FromSerialSeconds(std::int64_t serial) {
    const std::int64_t days = FloorDiv(serial, 86400);
    const std::int64_t rest = serial - days * 86400;
    std::int64_t y = 0, m = 0, d = 0;
    CivilFromDays(days, y, m, d);
    return LocalDateTime{static_cast<std::int32_t>(y), static_cast<std::int32_t>(m),
                         static_cast<std::int32_t>(d), static_cast<std::int32_t>(rest / 3600),
                         static_cast<std::int32_t>(rest / 60 % 60),
                         static_cast<std::int32_t>(rest % 60)};
}

LocalDateTime AddSeconds(const LocalDateTime& t, std::int64_t seconds) {
    return FromSerialSeconds(ToSerialSeconds(t) + seconds);
}

std::int64_t SecondsBetween(const LocalDateTime& from, const LocalDateTime& to) {
    return ToSerialSeconds(to) - ToSerialSeconds(from);
}

UnixTime AddNanos(const UnixTime& t, std::int64_t nanos) {
    const std::int64_t total = static_cast<std::int64_t>(t.nanos) + nanos % kNanosPerSecond;
    const std::int64_t carry = FloorDiv(total, kNanosPerSecond);
    return UnixTime{t.seconds + nanos / kNanosPerSecond + carry,
                    static_cast<std::uint32_t>(total - carry * kNanosPerSecond)};
}

PreciseLocalTime AddNanos(const PreciseLocalTime& t, std::int64_t nanos) {
    const UnixTime moved = AddNanos(UnixTime{ToSerialSeconds(t.whole), t.nanos}, nanos);
    return PreciseLocalTime{FromSerialSeconds(moved.seconds), moved.nanos, t.zoneOffsetSeconds};
}

std::string FormatTimestamp(const LocalDateTime& t) {
    if (t.year < 0 || t.year > 9999 || !IsValid(t)) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

std::string FormatPreciseTimestamp(const PreciseLocalTime& t) {
    std::string text = FormatTimestamp(t.whole);
    if (text.empty()) return text;
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%09u", static_cast<unsigned>(t.nanos));
    return text + fraction;
}

std::optional<LocalDateTime> ParseTimestamp(std::string_view text) {
    static constexpr std::string_view kPattern = "dddd-dd-dd dd:dd:dd";
    if (text.size() != kPattern.size()) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kPattern[i] == 'd' ? !digit : text[i] != kPattern[i]) return std::nullopt;
    }
    auto field = [&](std::size_t at, std::size_t width) {
        std::int32_t v = 0;
        for (std::size_t i = at; i < at + width; ++i) v = v * 10 + (text[i] - '0');
        return v;
    };
    const LocalDateTime t{field(0, 4), field(5, 2), field(8, 2),
                          field(11, 2), field(14, 2), field(17, 2)};
    if (!IsValid(t)) return std::nullopt;
    return t;
}

std::int64_t ZoneOffsetSeconds(const WallReading& reading) {
    return ToSerialSeconds(reading.local) - reading.utc.seconds;
}

PreciseLocalTime PreciseLocal(const WallReading& reading) {
    return {reading.local, reading.utc.nanos, ZoneOffsetSeconds(reading)};
}

}  // namespace pelldor
