#include "foundation/debug_log.h"

#include "foundation/run_error.h"

namespace pelldor {

std::string LogFilePath() {
    auto& os = Os();
    std::string path = os.ExecutableDirectory();
    if (path.empty()) return path;
    if (path.back() != os.PathSeparator()) path += os.PathSeparator();
    path += kLogFileName;
    return path;
}

std::string LogTimestamp() {
    std::string text = platform::FormatTimestamp(Os().LocalNow());
    if (text.empty()) throw RunError(ErrorKind::Conversion, "the local clock has no timestamp form");
    return text;
}

void WriteLogLine(const std::vector<std::string>& lines) {
    std::string entry;
    for (const auto& line : lines) {
        entry += line;
        entry += "\r\n";
    }
    const std::string path = LogFilePath();
    const std::string failure = Os().AppendToFile(path, entry);
    if (!failure.empty()) {
        throw RunError(ErrorKind::FileOperation, "cannot append to " + path + ": " + failure);
    }
}

void SwitchTest() {
    const std::string path = LogFilePath();
    if (path.empty() || !Os().IsRegularFile(path)) return;
    runState.DebugOn = kTrue16;
    WriteLogLine(logline::Start());
}

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

namespace {

std::string HostAndPort(std::string_view host, std::int32_t port) {
    return Printable(host) + " on port " + std::to_string(port);
}

}  // namespace

// Each text brings its own leading blank, but for the error notice, whose "Error" follows
// the seconds directly.
namespace logtext {

std::string Sending(std::string_view host, std::int32_t port) { return " --> Sending Query to " + HostAndPort(host, port); }

std::string ServerTime(std::string_view shown) { return " --- Server Time: " + std::string(shown); }

std::string LocalTime(std::string_view shown) { return " --- Local  Time: " + std::string(shown); }

std::string ErrorNotice(std::int16_t code, std::string_view description) {
    return "Error " + std::to_string(code) + ": " + Printable(description) + " (netClock_Error)";
}

}  // namespace logtext

namespace logline {
namespace {

// The stamp and the text are joined with nothing between them.
std::string Stamped(std::string_view text) {
    std::string line = LogTimestamp();
    line += text;
    return line;
}

}  // namespace

std::vector<std::string> Start() { return {"", Stamped(" Start")}; }

std::string CommandLine(std::string_view tail) { return Stamped(" CommandLine = " + Printable(tail)); }

std::string ArgumentError() { return Stamped(" Argument Error"); }

std::string Sending(std::string_view host, std::int32_t port) { return Stamped(logtext::Sending(host, port)); }

std::string ServerTime(const std::optional<platform::LocalDateTime>& server) {
    return Stamped(logtext::ServerTime(server ? platform::FormatTimestamp(*server) : std::string("n/a")));
}

std::string LocalTime() {
    const std::string stamp = LogTimestamp();
    return stamp + logtext::LocalTime(platform::FormatTimestamp(Os().LocalNow()));
}

std::string CheckError(std::string_view host, std::int32_t port) {
    return Stamped(" Error When Sending Query to " + HostAndPort(host, port) + " (modPelldor_CheckNtpStatus)");
}

std::string ErrorNotice(std::int16_t code, std::string_view description) {
    return Stamped(logtext::ErrorNotice(code, description));
}

std::string Result(std::int16_t result) { return Stamped(" Return Value: " + std::to_string(result)); }

}  // namespace logline
}  // namespace pelldor
