#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/loop.h"
#include "nts/authenticator.h"
#include "platform/clock.h"
#include "platform/network.h"

// An NTS key exchange (RFC 8915, section 4) as a task of the loop: the name looked up, a
// TCP connection, TLS 1.3 with ALPN "ntske/1" and the certificate checked against the
// name, the request's records, the answer's, and the keys from the TLS exporter.
namespace pelldor::nts {

struct KeTarget {
    std::string host;
    std::uint16_t port = 4460;
    std::optional<platform::NetAddress::Family> family;
    std::string caFile;  // empty: the system's trust store
};

struct KeOutcome {
    bool done = false;
    std::optional<Keys> keys;  // none when the exchange failed
    std::string failure;       // why, for a person
    bool ourOwn = false;       // the failure is this machine's (its CA file), not the server's
    // Where the time exchange goes, as the server named it.
    std::optional<std::string> server;
    std::optional<std::uint16_t> port;
    // The server's certificate's end of validity in seconds since 1970, once it showed one.
    std::optional<std::int64_t> certificateExpiry;
    std::int64_t nanos = 0;  // from the start to the end
};

class KeyExchange final : public Task {
public:
    // Starts at once, for a run begun at `start` (monotonic); `finished` hears the outcome as
    // it ends, by `deadline` at the latest. A timeout is told as the run's.
    KeyExchange(platform::Clock& clock, platform::Network& network, Loop& loop, KeTarget target, std::int64_t start,
                std::int64_t deadline, std::function<void(const KeOutcome&)> finished);
    ~KeyExchange() override;
    KeyExchange(const KeyExchange&) = delete;
    KeyExchange& operator=(const KeyExchange&) = delete;

    [[nodiscard]] const KeOutcome& outcome() const { return outcome_; }

    platform::Channel* Channel() override;
    [[nodiscard]] std::int64_t WakeAt() const override;
    void Advance(std::int64_t until) override;

private:
    struct Tls;
    enum class Stage { LookingUp, Handshaking, Sending, Receiving };

    void Connect();
    void Handshake();
    void SendRequest();
    void ReceiveAnswer();
    void TakeAnswer();
    void NoteCertificate();
    void Fail(std::string why);
    void Finish();

    platform::Clock& clock_;
    platform::Network& network_;
    Loop& loop_;
    KeTarget target_;
    std::int64_t start_ = 0;
    std::int64_t deadline_ = 0;
    std::function<void(const KeOutcome&)> finished_;
    KeOutcome outcome_;
    Stage stage_ = Stage::LookingUp;
    std::unique_ptr<platform::NameLookup> lookup_;
    std::vector<platform::NetAddress> addresses_;
    std::size_t nextAddress_ = 0;
    platform::NetAddress peer_;
    std::unique_ptr<Tls> tls_;
    std::vector<std::uint8_t> request_;
    std::size_t requestSent_ = 0;
    std::vector<std::uint8_t> answer_;
};

}  // namespace pelldor::nts
