#include "foundation/log_text.h"

#include "foundation/text.h"

namespace pelldor {

std::string LogFilePath(platform::Files& files) {
    std::string path = files.ExecutableDirectory();
    if (path.empty()) return path;
    if (path.back() != files.PathSeparator()) path += files.PathSeparator();
    path += kLogFileName;
    return path;
}

namespace logtext {

std::string Sending(std::string_view host, std::int32_t port) {
    return " --> Sending Query to " + Printable(host) + " on port " + std::to_string(port);
}

std::string ServerTime(std::string_view shown) { return " --- Server Time: " + std::string(shown); }

std::string LocalTime(std::string_view shown) { return " --- Local  Time: " + std::string(shown); }

std::string ErrorNotice(std::int16_t code, std::string_view description) {
    return "Error " + std::to_string(code) + ": " + Printable(description) + " (netClock_Error)";
}

}  // namespace logtext
}  // namespace pelldor
