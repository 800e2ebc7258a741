#include "dropin/debug_log.h"

#include "dropin/run_error.h"
#include "foundation/log_text.h"
#include "foundation/text.h"
#include "foundation/time_math.h"

namespace pelldor::dropin {

DebugLog::DebugLog(platform::Files& files, platform::Clock& clock)
    : files_(files), clock_(clock), path_(LogFilePath(files)) {}

bool DebugLog::SwitchFileExists() { return !path_.empty() && files_.IsSafeRegularFile(path_); }

std::string DebugLog::LogTimestamp() {
    std::string text = FormatTimestamp(clock_.ReadWallClock().local);
    if (text.empty()) throw RunError(ErrorKind::Conversion, "the local clock has no timestamp form");
    return text;
}

void DebugLog::WriteLogLine(const std::vector<std::string>& lines) {
    std::string entry;
    for (const auto& line : lines) {
        entry += line;
        entry += "\r\n";
    }
    const platform::Appended appended = files_.AppendToFile(path_, entry);
    if (appended.status == platform::Appended::Status::Failed) {
        throw RunError(ErrorKind::FileOperation, "cannot append to " + path_ + ": " + appended.failure);
    }
}

void SwitchTest(DebugLog& log, RunState& state) {
    if (!log.SwitchFileExists()) return;
    state.DebugOn = kTrue16;
    log.WriteLogLine(logline::Start(log));
}

namespace logline {
namespace {

// The stamp and the text are joined with nothing between them.
std::string Stamped(DebugLog& log, std::string_view text) {
    std::string line = log.LogTimestamp();
    line += text;
    return line;
}

}  // namespace

std::vector<std::string> Start(DebugLog& log) { return {"", Stamped(log, " Start")}; }

std::string CommandLine(DebugLog& log, std::string_view tail) {
    return Stamped(log, " CommandLine = " + Printable(tail));
}

std::string ArgumentError(DebugLog& log) { return Stamped(log, " Argument Error"); }

std::string Sending(DebugLog& log, std::string_view host, std::int32_t port) {
    return Stamped(log, logtext::Sending(host, port));
}

std::string ServerTime(DebugLog& log, const std::optional<platform::LocalDateTime>& server) {
    return Stamped(log, logtext::ServerTime(server ? FormatTimestamp(*server) : std::string("n/a")));
}

std::string LocalTime(DebugLog& log) {
    const std::string stamp = log.LogTimestamp();
    return stamp + logtext::LocalTime(FormatTimestamp(log.clock().ReadWallClock().local));
}

std::string CheckError(DebugLog& log, std::string_view host, std::int32_t port) {
    return Stamped(log, " Error When Sending Query to " + Printable(host) + " on port " + std::to_string(port) +
                            " (modPelldor_CheckNtpStatus)");
}

std::string ErrorNotice(DebugLog& log, std::int16_t code, std::string_view description) {
    return Stamped(log, logtext::ErrorNotice(code, description));
}

std::string Result(DebugLog& log, std::int16_t result) {
    return Stamped(log, " Return Value: " + std::to_string(result));
}

}  // namespace logline
}  // namespace pelldor::dropin
