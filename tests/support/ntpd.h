#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "support/chronyd.h"
#include "support/netns.h"
#include "support/process.h"

namespace pelldor::testing {

struct NtpdOptions {
    // Follows a chronyd in a neighbouring namespace and is ready only once it answers as
    // synchronised; without it ntpd has no source and keeps answering with kiss code INIT.
    bool synchronised = false;
    // Answers every request from an address after its first within a few seconds with a
    // kiss-o'-death RATE; otherwise there is no rate limit at all.
    bool rateLimited = false;
};

// ntpsec's ntpd serving 127.0.0.1:123 inside a network namespace of its own, started and
// ready when constructed, stopped when destroyed, along with its upstream chronyd. Neither
// can set this machine's clock: both run without the capability for it, which is checked,
// and ntpd also with the kernel discipline off and only ever slewing.
class NtpdServer {
public:
    static constexpr const char* kHost = "127.0.0.1";
    static constexpr std::uint16_t kPort = 123;

    // Throws Unavailable when ntpd is not there (scripts/fetch-ntpsec.sh puts it in the
    // build folder) or namespaces cannot be made.
    explicit NtpdServer(NtpdOptions options);
    ~NtpdServer();
    NtpdServer(const NtpdServer&) = delete;
    NtpdServer& operator=(const NtpdServer&) = delete;

    [[nodiscard]] std::string Peer() const { return std::string(kHost) + ":" + std::to_string(kPort); }
    [[nodiscard]] const NetNamespace& netns() const { return netns_; }
    [[nodiscard]] std::optional<NtpReplyHeader> Ask(std::chrono::milliseconds wait) const {
        return AskOnce(kPort, wait, &netns_, kHost);
    }
    // What ntpd and its upstream logged so far, for failure messages.
    [[nodiscard]] std::string Output() const;

private:
    std::string WriteConfig() const;

    NtpdOptions options_;
    TempDir dir_;
    NetNamespace netns_;
    std::optional<NetNamespace> upstreamNetns_;
    std::optional<ChronydServer> upstream_;
    std::optional<Daemon> ntpd_;
};

}  // namespace pelldor::testing
