#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelldor::testing {

// A network namespace of our own, with only its loopback interface up, removed when
// destroyed. Its name is unique to this test process; namespaces left behind by test
// processes that died are removed when the next one is made.
class NetNamespace {
public:
    // Throws Unavailable without root rights or without ip (Debian package iproute2).
    NetNamespace();
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    [[nodiscard]] const std::string& name() const { return name_; }
    [[nodiscard]] std::string Path() const;
    // The launcher that runs a command inside, for ProbeSetup::via.
    [[nodiscard]] std::vector<std::string> Via() const;

    // Joins this namespace and `peer` by a pair of virtual Ethernet interfaces, with the
    // given addresses in one /24 network: `address` here, `peerAddress` there.
    void Link(const NetNamespace& peer, const std::string& address, const std::string& peerAddress) const;

    // A socket that belongs to this namespace, as if opened by a process inside it; -1 on
    // failure, with errno set.
    [[nodiscard]] int Socket(int domain, int type, int protocol) const;

private:
    void Ip(const std::vector<std::string>& args) const;

    std::string ip_;
    std::string name_;
};

// Counts the UDP datagrams that reach a port on a namespace's loopback interface from any
// other port: the requests that clients inside send to a server there, its own replies
// and its upstream traffic left out. Counts from its construction on.
class UdpRequestCounter {
public:
    UdpRequestCounter(const NetNamespace& netns, std::uint16_t port);
    ~UdpRequestCounter();
    UdpRequestCounter(const UdpRequestCounter&) = delete;
    UdpRequestCounter& operator=(const UdpRequestCounter&) = delete;

    // The requests seen so far; call once the clients have ended.
    int Count();

private:
    int fd_ = -1;
    std::uint16_t port_;
    int count_ = 0;
};

}  // namespace pelldor::testing
