#include "run/debug_log.h"

#include "platform/platform.h"
#include "run/run_error.h"

namespace pelldor {

std::string LogFilePath() {
    auto& os = platform::Current();
    std::string path = os.ExecutableDirectory();
    if (path.empty() || path.back() != os.PathSeparator()) path += os.PathSeparator();
    path += kLogFileName;
    return path;
}

std::string LogTimestamp() {
    std::string text = platform::FormatTimestamp(platform::Current().LocalNow());
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
    const std::string failure = platform::Current().AppendToFile(path, entry);
    if (!failure.empty()) {
        throw RunError(ErrorKind::FileOperation, "cannot append to " + path + ": " + failure);
    }
}

void SwitchTest() {
    if (!platform::Current().IsRegularFile(LogFilePath())) return;
    runState.DebugOn = kTrue16;
    WriteLogLine({"", LogTimestamp() + " Start"});
}

}  // namespace pelldor
