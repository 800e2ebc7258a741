#include "foundation/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace pelldor {
namespace {

// Where the parts of a decimal lie, once its shape is known to be right.
struct DecimalShape {
    bool negative = false;
    std::string_view digits;  // the whole text without its sign
    bool point = false;
};

std::optional<DecimalShape> ShapeOf(std::string_view text) {
    DecimalShape shape;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        shape.negative = text.front() == '-';
        text.remove_prefix(1);
    }
    bool digit = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '.' && !shape.point) {
            shape.point = true;
        } else {
            return std::nullopt;
        }
    }
    if (!digit) return std::nullopt;
    shape.digits = text;
    return shape;
}

}  // namespace

std::string Printable(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

std::optional<double> ParseDecimal(std::string_view text) {
    const auto shape = ShapeOf(text);
    if (!shape) return std::nullopt;
    // strtod, which the C library has anyway, rather than from_chars, which would bring in
    // the standard library's parsers of every floating type and their tables: code that
    // every run of the probe pays for in memory. The shape is checked already, and the
    // program never leaves the "C" locale, so the point is always the decimal point.
    const std::string digits(shape->digits);
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(digits.c_str(), &end);
    if (errno == ERANGE || end != digits.c_str() + digits.size()) return std::nullopt;
    return shape->negative ? -value : value;
}

std::optional<long long> ParseInteger(std::string_view text) {
    const auto shape = ShapeOf(text);
    if (!shape || shape->point) return std::nullopt;
    // Accumulated as a negative number so that the most negative value fits.
    long long value = 0;
    for (const char c : shape->digits) {
        const int digit = c - '0';
        if (value < (std::numeric_limits<long long>::min() + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (shape->negative) return value;
    if (value == std::numeric_limits<long long>::min()) return std::nullopt;
    return -value;
}

std::optional<Bracketed> SplitBracketed(std::string_view text) {
    if (!text.starts_with('[')) return std::nullopt;
    const auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view host = text.substr(1, close - 1);
    const std::string_view after = text.substr(close + 1);
    if (after.empty()) return Bracketed{host, std::nullopt};
    if (after.front() != ':') return std::nullopt;
    return Bracketed{host, after.substr(1)};
}

std::string AddressText(const platform::NetAddress& address) {
    if (address.family == platform::NetAddress::Family::V4) {
        std::string text;
        for (std::size_t i = 0; i < 4; ++i) {
            if (i != 0) text += '.';
            text += std::to_string(address.bytes[i]);
        }
        text += ':';
        text += std::to_string(address.port);
        return text;
    }
    unsigned groups[8];
    for (std::size_t i = 0; i < 8; ++i) groups[i] = address.bytes[2 * i] << 8 | address.bytes[2 * i + 1];
    // An IPv4-mapped address keeps its IPv4 part in dotted decimal, as RFC 5952 asks.
    const bool mapped = std::all_of(groups, groups + 5, [](unsigned g) { return g == 0; }) && groups[5] == 0xffff;
    // The longest run of two or more zero groups, the first of equals, becomes "::".
    std::size_t runStart = 8, runLength = 0;
    for (std::size_t i = 0; i < 8;) {
        std::size_t j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > runLength && j - i >= 2) runStart = i, runLength = j - i;
        i = j == i ? i + 1 : j;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text(1, '[');
    for (std::size_t i = 0; i < 8; ++i) {
        if (i == runStart) {
            text += "::";
            i += runLength - 1;
            continue;
        }
        if (i != 0 && i != runStart + runLength) text += ':';
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned digit = (groups[i] >> shift) & 15;
            if (digit != 0 || started || shift == 0) text += kHex[digit], started = true;
        }
    }
    if (mapped) {
        text = "[::ffff:";
        for (std::size_t i = 12; i < 16; ++i) {
            if (i != 12) text += '.';
            text += std::to_string(address.bytes[i]);
        }
    }
    if (address.scopeId != 0) {
        text += '%';
        text += std::to_string(address.scopeId);
    }
    text += "]:";
    text += std::to_string(address.port);
    return text;
}

std::string SecondsText(std::int64_t nanos) {
    char text[48];
    std::snprintf(text, sizeof text, "%.9g s", static_cast<double>(nanos) / 1e9);
    return text;
}

}  // namespace pelldor
