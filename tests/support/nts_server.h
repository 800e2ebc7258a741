#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/process.h"

namespace pelldor::testing {

// A self-signed certificate for `san` ("IP:127.0.0.1", "DNS:other.example") whose 30 days
// begin at `shift` as libfaketime reads it ("0", "-400d", "+30d"), written to the folder as
// NAME.pem with its key as NAME.key. Returns the .pem's path; throws Unavailable without
// openssl or libfaketime.
std::string MakeCertificate(const TempDir& dir, const std::string& name, const std::string& san,
                            const std::string& shift = "0");

// The key exchange faults that chronyd will not commit.
enum class KeFault { ErrorRecord, NoCookie, WrongAlpn, Tls12Only, Silent };

// An NTS-KE server on a free TCP port of 127.0.0.1 that answers every client with its fault,
// serving the certificate (its key beside it), until destroyed. Python's TLS rather than the
// GnuTLS that the client uses, so that a fault of one cannot hide behind the same fault here.
class NtsKeServer {
public:
    NtsKeServer(KeFault fault, const std::string& certificate);

    [[nodiscard]] std::uint16_t port() const { return port_; }

private:
    std::uint16_t port_ = 0;
    std::optional<Daemon> daemon_;
};

}  // namespace pelldor::testing
