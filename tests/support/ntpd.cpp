#include "support/ntpd.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace pelldor::testing {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

// ntpd takes no loopback address as a source, so its upstream sits across a link, in the
// documentation range; both ends are in namespaces of ours, so nothing leaves the machine.
const std::string kOwnAddress = "192.0.2.1";
const std::string kUpstreamAddress = "192.0.2.2";
constexpr milliseconds kAnswerBound = 10s;
constexpr milliseconds kSyncBound = 60s;

std::string RequireProgram() {
    const std::string program = NtpdServer::Program();
    if (::access(program.c_str(), X_OK) != 0) {
        throw Unavailable("ntpsec's ntpd is not at " + program + " (scripts/fetch-ntpsec.sh unpacks it there)");
    }
    return program;
}

bool IsSynchronised(const NtpReplyHeader& reply) {
    return reply.leap != 3 && reply.stratum >= 1 && reply.stratum <= 15;
}

}  // namespace

std::string NtpdServer::Program() {
    if (const char* path = std::getenv("PELLDOR_NTPD"); path != nullptr && *path != '\0') return path;
    return PELLDOR_NTPD_DEFAULT;
}

NtpdServer::NtpdServer(NtpdOptions options) : options_(options), program_(RequireProgram()) {
    if (options_.synchronised) {
        upstreamNetns_ = std::make_unique<NetNamespace>();
        netns_.Link(*upstreamNetns_, kOwnAddress, kUpstreamAddress);
        upstream_ = std::make_unique<ChronydServer>(
            ChronydOptions{.netns = upstreamNetns_.get(), .address = kUpstreamAddress});
    }

    const std::string config = WriteConfig();
    const std::string log = dir_.File("ntpd.log");
    // -x: the clock is only ever slewed. Without the capability not even that reaches it.
    const auto start = steady_clock::now();
    ntpd_ = Daemon({.args = {program_, "-n", "-x", "-c", config, "-l", log, "-p", dir_.File("ntpd.pid")},
                    .env = EnvironmentWithout({"LD_PRELOAD=", "FAKETIME"}),
                    .output = log,
                    .netns = netns_.Path()});

    for (;;) {
        if (!ntpd_.Running()) throw std::runtime_error("ntpd " + ntpd_.Ending() + ":\n" + Output());
        if (steady_clock::now() - start > kAnswerBound) {
            throw std::runtime_error("ntpd did not answer on " + Peer() + ":\n" + Output());
        }
        const auto asked = steady_clock::now();
        if (Ask(200ms)) break;
        std::this_thread::sleep_until(asked + 100ms);
    }
    firstAnswer_ = duration_cast<milliseconds>(steady_clock::now() - start);
    CheckCannotSetClock(ntpd_.pid());
    if (options_.synchronised) WaitUntilSynchronised(start);
}

NtpdServer::~NtpdServer() = default;

std::optional<NtpReplyHeader> NtpdServer::Ask(milliseconds wait) const { return AskOnce(kPort, wait, &netns_, kHost); }

std::string NtpdServer::Output() const {
    std::string text = ReadWholeFile(dir_.File("ntpd.log"));
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

void NtpdServer::WaitUntilSynchronised(steady_clock::time_point start) {
    std::string heard;
    while (steady_clock::now() - start < kSyncBound) {
        if (!ntpd_.Running()) throw std::runtime_error("ntpd " + ntpd_.Ending() + ":\n" + Output());
        const auto asked = steady_clock::now();
        if (const auto reply = Ask(500ms)) {
            if (IsSynchronised(*reply)) {
                synchronised_ = duration_cast<milliseconds>(steady_clock::now() - start);
                return;
            }
            heard = "leap " + std::to_string(reply->leap) + ", stratum " + std::to_string(reply->stratum) +
                    ", reference \"" + reply->ReferenceText() + "\"";
        }
        std::this_thread::sleep_until(asked + 500ms);
    }
    throw std::runtime_error("ntpd was not synchronised within " + std::to_string(kSyncBound.count() / 1000) +
                             " s; it last answered " + heard + "\n" + Output());
}

}  // namespace pelldor::testing
