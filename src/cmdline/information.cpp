#include "cmdline/information.h"

#include "foundation/debug_log.h"
#include "foundation/run_state.h"

namespace pelldor {

std::optional<std::string> InformationFor(std::string_view tail) {
    if (tail == "--version") return std::string("pelldor ") + PELLDOR_VERSION + "\n";
    if (tail != "--help") return std::nullopt;
    const std::string log = LogFilePath();
    return "Usage: pelldor TIMEOUT RETRIES HOST:PORT\n"
           "       pelldor --version | --help\n"
           "       pelldor check -H HOST [OPTIONS]   a monitoring plugin; see pelldor check --help\n"
           "\n"
           "Asks the NTP server at HOST:PORT for the time and ends with exit status 100 when it\n"
           "answered with a time not more than 3 seconds behind the local clock, 0 when it did\n"
           "not, and 1 when the probe itself failed. It prints nothing.\n"
           "\n"
           "  TIMEOUT    seconds one attempt may wait for an answer\n"
           "  RETRIES    further attempts after an attempt that brought no time\n"
           "  HOST:PORT  a host name, an IPv4 address or [an IPv6 address], a colon, the port\n"
           "\n"
           "A run logs to " + (log.empty() ? std::string(kLogFileName) + " beside the program" : Printable(log)) +
           " when that file exists at the start.\n"
           "See " PELLDOR_MANUAL ".\n";
}

void AnswerInformationRequest() {
    auto& os = Os();
    const auto text = InformationFor(os.CommandLineTail());
    if (!text) return;
    os.WriteStandardOutput(*text);
    os.ExitProcess(0);
}

}  // namespace pelldor
