#include "support/ntpd.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "support/polling.h"

namespace pelldor::testing {
namespace {

using namespace std::chrono_literals;

// ntpd takes no loopback address as a source, so its upstream sits across a link, in the
// documentation range; both ends are in namespaces of ours, so nothing leaves the machine.
const std::string kOwnAddress = "192.0.2.1";
const std::string kUpstreamAddress = "192.0.2.2";

std::string RequireProgram() {
    const char* named = std::getenv("PELLDOR_NTPD");
    const std::string program = named != nullptr && *named != '\0' ? named : PELLDOR_NTPD_DEFAULT;
    if (::access(program.c_str(), X_OK) != 0) {
        throw Unavailable("ntpsec's ntpd is not at " + program + " (scripts/fetch-ntpsec.sh unpacks it there)");
    }
    return program;
}

}  // namespace

NtpdServer::NtpdServer(NtpdOptions options) : options_(options) {
    const std::string program = RequireProgram();
    if (options_.synchronised) {
        netns_.Link(upstreamNetns_.emplace(), kOwnAddress, kUpstreamAddress);
        upstream_.emplace(ChronydOptions{.netns = &*upstreamNetns_, .address = kUpstreamAddress});
    }
    const std::string log = dir_.File("ntpd.log");
    // -x: the clock is only ever slewed. Without the capability not even that reaches it.
    ntpd_.emplace(DaemonSetup{
        .args = {program, "-n", "-x", "-c", WriteConfig(), "-l", log, "-p", dir_.File("ntpd.pid")},
        .output = log,
        .netns = netns_.Path()});
    std::string heard = "nothing";
    const auto answers = [&] {
        const auto reply = Ask(500ms);
        if (reply) {
            heard = "leap " + std::to_string(reply->leap) + ", stratum " + std::to_string(reply->stratum) +
                    ", reference \"" + reply->ReferenceText() + "\"";
        }
        return reply && (!options_.synchronised || (reply->leap != 3 && reply->stratum >= 1 && reply->stratum <= 15));
    };
    if (!ntpd_->AwaitReady(options_.synchronised ? 60s : 10s, 500ms, answers)) {
        throw std::runtime_error("ntpd " + (ntpd_->Running() ? "was not ready; it last answered " + heard : ntpd_->Ending()) +
                                 ":\n" + Output());
    }
}

NtpdServer::~NtpdServer() = default;

std::string NtpdServer::Output() const {
    std::string text = Contents(dir_.File("ntpd.log"));
    if (upstream_) text += "upstream chronyd:\n" + upstream_->Output();
    return text;
}

std::string NtpdServer::WriteConfig() const {
    const std::string path = dir_.File("ntpd.conf");
    std::ofstream out(path, std::ios::trunc);
    out << "disable kernel\n"
        << "statsdir " << dir_.path() << "/\n";
    if (options_.synchronised) out << "server " << kUpstreamAddress << " iburst minpoll 0 maxpoll 2\n";
    if (options_.rateLimited) {
        // A score that decays over seconds and a burst of one put every request after the
        // first over the limit; the kiss-o'-death budget is high enough to answer each one.
        out << "restrict default kod limited\n"
            << "limit average 0.5 burst 1 kod 100\n";
    } else {
        // ntpd limits every client by default and drops the excess without a word.
        out << "unrestrict default limited\n";
    }
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}

}  // namespace pelldor::testing
