#include "support/netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/process.h"

namespace pelldor::testing {
namespace {

using namespace std::chrono_literals;

const std::string kPrefix = "pelldor-";

std::string Describe(const RunResult& result) {
    return result.err + result.out + " (exit " + std::to_string(result.exitStatus) + ")";
}

// A namespace outlives a test process that was killed before it could remove it; its name
// tells whose it was.
void RemoveOrphans(const std::string& ip) {
    const RunResult list = RunProgram(ip, {"netns", "list"}, 10s);
    std::istringstream lines(list.out);
    for (std::string line; std::getline(lines, line);) {
        const std::string name = line.substr(0, line.find(' '));
        if (!name.starts_with(kPrefix)) continue;
        const std::string owner = name.substr(kPrefix.size(), name.find('-', kPrefix.size()) - kPrefix.size());
        if (owner.empty() || owner.find_first_not_of("0123456789") != std::string::npos) continue;
        if (::kill(static_cast<pid_t>(std::stol(owner)), 0) != 0 && errno == ESRCH) {
            RunProgram(ip, {"netns", "del", name}, 10s);
        }
    }
}

}  // namespace

NetNamespace::NetNamespace() {
    if (::geteuid() != 0) throw Unavailable("network namespaces need root");
    ip_ = FindProgram("ip");
    if (ip_.empty()) throw Unavailable("ip is not installed (Debian package iproute2)");
    RemoveOrphans(ip_);

    static std::atomic<int> made{0};
    const std::string name = kPrefix + std::to_string(::getpid()) + "-" + std::to_string(made++);
    const RunResult added = RunProgram(ip_, {"netns", "add", name}, 10s);
    if (!added.exited || added.exitStatus != 0) {
        throw Unavailable("cannot make a network namespace: " + Describe(added));
    }
    name_ = name;
    try {
        Ip({"link", "set", "lo", "up"});
    } catch (...) {
        RunProgram(ip_, {"netns", "del", name_}, 10s);
        throw;
    }
}

NetNamespace::~NetNamespace() { RunProgram(ip_, {"netns", "del", name_}, 10s); }

std::string NetNamespace::Path() const { return "/run/netns/" + name_; }

std::vector<std::string> NetNamespace::Via() const { return {ip_, "netns", "exec", name_}; }

void NetNamespace::Ip(const std::vector<std::string>& args) const {
    std::vector<std::string> line{"-n", name_};
    line.insert(line.end(), args.begin(), args.end());
    const RunResult result = RunProgram(ip_, line, 10s);
    if (!result.exited || result.exitStatus != 0) {
        std::string text = "ip";
        for (const auto& arg : line) text += " " + arg;
        throw std::runtime_error(text + ": " + Describe(result));
    }
}

void NetNamespace::Link(const NetNamespace& peer, const std::string& address, const std::string& peerAddress) const {
    Ip({"link", "add", "pelldor-a", "type", "veth", "peer", "name", "pelldor-b", "netns", peer.name_});
    Ip({"address", "add", address + "/24", "dev", "pelldor-a"});
    peer.Ip({"address", "add", peerAddress + "/24", "dev", "pelldor-b"});
    Ip({"link", "set", "pelldor-a", "up"});
    peer.Ip({"link", "set", "pelldor-b", "up"});
}

int NetNamespace::Socket(int domain, int type, int protocol) const {
    // Only the thread that enters a namespace is in it, and a socket stays in the one it
    // was made in; the thread ends right after.
    int fd = -1;
    int error = 0;
    std::thread([&] {
        const int ns = ::open(Path().c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) {
            error = errno;
        } else {
            fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
            error = errno;
        }
        if (ns >= 0) ::close(ns);
    }).join();
    if (fd < 0) errno = error;
    return fd;
}

UdpRequestCounter::UdpRequestCounter(const NetNamespace& netns, std::uint16_t port) : port_(port) {
    fd_ = netns.Socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK, htons(ETH_P_IP));
    if (fd_ < 0) throw std::runtime_error("no packet socket in " + netns.name() + ": " + std::strerror(errno));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_IP);
    if (::ioctl(fd_, SIOCGIFINDEX, &request) != 0 ||
        (address.sll_ifindex = request.ifr_ifindex,
         ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)) {
        const std::string why = std::strerror(errno);
        ::close(fd_);
        throw std::runtime_error("cannot watch lo in " + netns.name() + ": " + why);
    }
}

UdpRequestCounter::~UdpRequestCounter() { ::close(fd_); }

int UdpRequestCounter::Count() {
    std::array<std::uint8_t, 2048> packet{};
    for (;;) {
        sockaddr_ll from{};
        socklen_t length = sizeof from;
        const ssize_t got =
            ::recvfrom(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return count_;
        // Loopback shows each datagram twice, going out and coming in: count it coming in.
        if (from.sll_pkttype != PACKET_HOST || got < 20 || (packet[0] >> 4) != 4 || packet[9] != IPPROTO_UDP) continue;
        const std::size_t header = std::size_t{packet[0] & 0x0fu} * 4;
        if (static_cast<std::size_t>(got) < header + 8) continue;
        const auto source = static_cast<std::uint16_t>((packet[header] << 8) | packet[header + 1]);
        const auto target = static_cast<std::uint16_t>((packet[header + 2] << 8) | packet[header + 3]);
        if (target == port_ && source != port_) ++count_;
    }
}

}  // namespace pelldor::testing
