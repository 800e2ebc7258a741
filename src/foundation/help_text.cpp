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
    return "Usage: pelldor check -H HOST[:PORT] [-H HOST...] [-p PORT] [-w RANGE] [-c RANGE]\n"
           "         [-t SECONDS] [-o SECONDS] [-q] [-4|-6] [-v] [-W RANGE] [-C RANGE]\n"
           "         [--root-distance=W[,C]] [--reference-age=W[,C]] [-m RANGE] [-n RANGE]\n"
           "         [--all-addresses] [--output-format=classic|multi-line|openmetrics]";
}

std::string CheckHelp() {
    return std::string(CheckUsage()) +
           "\n"
           "\n"
           "Asks the NTP servers for the time, all at once, and prints one status line with\n"
           "the offset (server minus local clock, in seconds), what else is wrong, and the\n"
           "performance data. Of several servers it tells which agree and names those that\n"
           "do not; the offset judged is the agreeing servers' combined. Exit status 0 OK,\n"
           "1 WARNING, 2 CRITICAL, 3 UNKNOWN (the check could not be made: a usage error, a\n"
           "name that does not resolve, no sockets left, a stop from outside).\n"
           "\n"
           "  -H, --hostname HOST    a name, an IPv4 address, or an IPv6 address, bare or in [];\n"
           "                         HOST:PORT and [IPv6]:PORT set the port too; repeat for more\n"
           "  -p, --port PORT        the port of each server that names none (default 123)\n"
           "  -w, --warning RANGE    offsets that are no warning (default 60)\n"
           "  -c, --critical RANGE   offsets that are not critical (default 120)\n"
           "  -W, --stratum-warning RANGE, -C, --stratum-critical RANGE   strata\n"
           "      --root-distance=WARN[,CRIT]   root distances in seconds\n"
           "      --reference-age=WARN[,CRIT]   seconds since the server last set its clock\n"
           "  -m, --twarn RANGE, -n, --tcrit RANGE   numbers of servers that agree\n"
           "      --all-addresses    each address of a name is a server of its own\n"
           "      --output-format=classic|multi-line|openmetrics   the line (the default), the\n"
           "                         line and a line per subcheck, or Prometheus metrics\n"
           "  -t, --timeout SECONDS  the whole check's limit, 0.001 to 86400 (default 10)\n"
           "  -o, --time-offset SECONDS  added to the offset before the thresholds apply\n"
           "  -q, --quiet            UNKNOWN, not CRITICAL, when the server is not synchronised\n"
           "  -4, --use-ipv4         IPv4 addresses only\n"
           "  -6, --use-ipv6         IPv6 addresses only\n"
           "  -v, --verbose          the queries, the notices and both times after the status\n"
           "  -h, --help             this text\n"
           "  -V, --version          the version\n"
           "\n"
           "Long options may be shortened while they stay unique (--warn). RANGE: 10 is 0 to\n"
           "10, 10: is 10 or more, ~:10 at most 10, 10:20 from 10 to 20; a value outside\n"
           "alerts, with a leading @ a value inside. Offsets are judged by magnitude, and\n"
           "seconds may have a fraction (-w 0.25). A RATE kiss is a warning; DENY, RSTR,\n"
           "other kiss codes and silence are critical. Run as check_pelldor, the program is\n"
           "this plugin. See " PELLDOR_MANUAL ".\n";
}

}  // namespace pelldor
