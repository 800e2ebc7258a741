#include "foundation/help_text.h"

#include "foundation/log_text.h"
#include "foundation/text.h"

namespace pelldor {

std::string VersionText() { return std::string("pelldor ") + PELLDOR_VERSION + "\n"; }

std::string DropInHelp(std::string_view logPath) {
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
           "A run logs to " + (logPath.empty() ? std::string(kLogFileName) + " beside the program" : Printable(logPath)) +
           " when that file exists at the start.\n"
           "See " PELLDOR_MANUAL ".\n";
}

std::string_view CheckUsage() {
    return "Usage: pelldor check -H HOST[:PORT] [-p PORT] [-w RANGE] [-c RANGE] [-t SECONDS] [-o SECONDS] [-q] [-4|-6] [-v]";
}

std::string CheckHelp() {
    return std::string(CheckUsage()) +
           "\n"
           "\n"
           "Asks the NTP server HOST for the time and prints one status line with the\n"
           "offset (server minus local clock, in seconds) and its performance data. Exit\n"
           "status 0 OK, 1 WARNING, 2 CRITICAL (the offset outside -c, or no usable time),\n"
           "3 UNKNOWN (the check could not be made: a usage error, a name that does not\n"
           "resolve, no sockets left, a stop from outside).\n"
           "\n"
           "  -H, --hostname HOST    a name, an IPv4 address, or an IPv6 address, bare or in [];\n"
           "                         HOST:PORT and [IPv6]:PORT set the port too\n"
           "  -p, --port PORT        the server's port (default 123)\n"
           "  -w, --warning RANGE    offsets that are no warning (default 60)\n"
           "  -c, --critical RANGE   offsets that are not critical (default 120)\n"
           "  -t, --timeout SECONDS  the whole check's limit, 0.001 to 86400 (default 10)\n"
           "  -o, --time-offset SECONDS  added to the offset before the thresholds apply\n"
           "  -q, --quiet            UNKNOWN, not CRITICAL, when the server is not synchronised\n"
           "  -4, --use-ipv4         IPv4 addresses only\n"
           "  -6, --use-ipv6         IPv6 addresses only\n"
           "  -v, --verbose          the query, the notices and both times after the status line\n"
           "  -h, --help             this text\n"
           "  -V, --version          the version\n"
           "\n"
           "Long options may be shortened while they stay unique (--warn). RANGE applies to\n"
           "the offset's magnitude: 10 is 0 to 10, 10: is 10 or more, ~:10 at most 10, 10:20\n"
           "from 10 to 20; with a leading @ a value inside alerts. Seconds may have a fraction\n"
           "(-w 0.25). Run as check_pelldor, the program is this plugin. See " PELLDOR_MANUAL ".\n";
}

}  // namespace pelldor
