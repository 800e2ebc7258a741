#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "support/netns.h"
#include "support/process.h"
#include "support/responder.h"

namespace pelldor::testing {

struct ChronydOptions {
    // How far chronyd's clock is set from the real one, in seconds as libfaketime reads
    // them: "-4.5", "+30", "0" (no shift, no libfaketime).
    std::string shift = "0";
    // With a local reference chronyd serves as stratum 8; without one it still answers,
    // but flagged as not synchronised.
    bool synchronised = true;
    // Limits the responses to 127.0.0.1 so that a few requests a second are over the
    // limit, and answers part of the excess with a kiss-o'-death RATE.
    bool rateLimited = false;
    // Serves any client on port 123 of `address` inside this namespace rather than on a
    // free port of 127.0.0.1 here.
    const NetNamespace* netns = nullptr;
    std::string address = "127.0.0.1";
    // A certificate whose key sits beside it as .key: chronyd then serves NTS-KE too.
    std::string ntsCertificate = "";
};

// This machine cannot run the chronyd asked for: chronyd or libfaketime is missing, or the
// installed chronyd does not know a directive of the configuration.
class ChronydUnavailable : public Unavailable {
public:
    using Unavailable::Unavailable;
};

// libfaketime's library, to be preloaded into a program as FAKETIME says; empty when it is
// not installed.
std::string FindLibfaketime();

// A chronyd serving NTP on 127.0.0.1 on a free port, started and ready when constructed,
// stopped when destroyed. It never touches the system clock: it runs with -x and without
// the capability to set the clock, which is checked once it answers.
class ChronydServer {
public:
    explicit ChronydServer(ChronydOptions options);
    ~ChronydServer();
    ChronydServer(const ChronydServer&) = delete;
    ChronydServer& operator=(const ChronydServer&) = delete;

    [[nodiscard]] std::uint16_t port() const { return port_; }
    [[nodiscard]] std::uint16_t ntsPort() const { return ntsPort_; }
    [[nodiscard]] std::string Peer() const { return options_.address + ":" + std::to_string(port_); }
    // What chronyd printed so far, for failure messages.
    [[nodiscard]] std::string Output() const;

private:
    std::string WriteConfig() const;

    ChronydOptions options_;
    TempDir dir_;
    std::uint16_t port_ = 0;
    std::uint16_t ntsPort_ = 0;
    std::optional<Daemon> daemon_;
};

}  // namespace pelldor::testing
