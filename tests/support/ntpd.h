#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

    [[nodiscard]] static std::string Program();
    [[nodiscard]] std::string Peer() const { return std::string(kHost) + ":" + std::to_string(kPort); }
    [[nodiscard]] const NetNamespace& netns() const { return netns_; }
    [[nodiscard]] std::optional<NtpReplyHeader> Ask(std::chrono::milliseconds wait) const;
    // From the start to ntpd's first answer, and to its first synchronised one.
    [[nodiscard]] std::chrono::milliseconds FirstAnswer() const { return firstAnswer_; }
    [[nodiscard]] std::optional<std::chrono::milliseconds> Synchronised() const { return synchronised_; }
    // What ntpd and its upstream logged so far, for failure messages.
    [[nodiscard]] std::string Output() const;

private:
    std::string WriteConfig() const;
    void WaitUntilSynchronised(std::chrono::steady_clock::time_point start);

    NtpdOptions options_;
    std::string program_;
    TempDir dir_;
    NetNamespace netns_;
    std::unique_ptr<NetNamespace> upstreamNetns_;
    std::unique_ptr<ChronydServer> upstream_;
    Daemon ntpd_;
    std::chrono::milliseconds firstAnswer_{0};
    std::optional<std::chrono::milliseconds> synchronised_;
};

}  // namespace pelldor::testing
