#include "support/nts_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace pelldor::testing {

using namespace std::chrono_literals;

std::string MakeCertificate(const TempDir& dir, const std::string& name, const std::string& san, const std::string& shift) {
    const std::string openssl = FindProgram("openssl"), faketime = FindProgram("faketime");
    if (openssl.empty() || faketime.empty()) throw Unavailable("openssl and faketime make the test certificates");
    const std::string pem = dir.File(name + ".pem");
    const RunResult made = RunProgram(faketime, {"-f", shift == "0" ? "+0" : shift, openssl, "req", "-x509", "-newkey", "ec",
                                                 "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "30",
                                                 "-keyout", dir.File(name + ".key"), "-out", pem, "-subj",
                                                 "/CN=pelldor-test", "-addext", "subjectAltName=" + san},
                                      20s);
    if (!made.exited || made.exitStatus != 0) throw std::runtime_error("openssl made no certificate: " + made.err);
    return pem;
}

NtsKeServer::NtsKeServer(KeFault fault, const std::string& certificate) : fault_(fault) {
    const std::string key = certificate.substr(0, certificate.size() - 4) + ".key";
    if (gnutls_certificate_allocate_credentials(&credentials_) != 0 ||
        gnutls_certificate_set_x509_key_file(credentials_, certificate.c_str(), key.c_str(), GNUTLS_X509_FMT_PEM) != 0) {
        gnutls_certificate_free_credentials(credentials_);
        throw std::runtime_error("GnuTLS cannot serve " + certificate);
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 8) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listener_ >= 0) ::close(listener_);
        gnutls_certificate_free_credentials(credentials_);
        throw std::runtime_error(std::string("no TCP listener on 127.0.0.1: ") + std::strerror(errno));
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

NtsKeServer::~NtsKeServer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
    gnutls_certificate_free_credentials(credentials_);
}

void NtsKeServer::Serve() {
    std::vector<int> held;  // a silent server keeps its clients connected, unanswered
    while (!stop_) {
        pollfd ready{listener_, POLLIN, 0};
        if (::poll(&ready, 1, 50) <= 0) continue;
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        if (fault_ == KeFault::Silent) {
            held.push_back(connection);
            continue;
        }
        // A client that stops talking cannot keep the server, and so the test, waiting.
        const timeval bound{2, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        ::setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        Answer(connection);
        ::close(connection);
    }
    for (const int connection : held) ::close(connection);
}

void NtsKeServer::Answer(int connection) {
    gnutls_session_t session = nullptr;
    if (gnutls_init(&session, GNUTLS_SERVER) != 0) return;
    gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials_);
    gnutls_priority_set_direct(session, fault_ == KeFault::Tls12Only ? "NORMAL:-VERS-ALL:+VERS-TLS1.2" : "NORMAL", nullptr);
    // With no protocol in common the server names none, as a plain TLS server would.
    static const char kOther[] = "http/1.1", kNtsKe[] = "ntske/1";
    const char* alpn = fault_ == KeFault::WrongAlpn ? kOther : kNtsKe;
    gnutls_datum_t protocol{reinterpret_cast<unsigned char*>(const_cast<char*>(alpn)), static_cast<unsigned>(std::strlen(alpn))};
    gnutls_alpn_set_protocols(session, &protocol, 1, 0);
    gnutls_transport_set_int(session, connection);
    int status = 0;
    do status = gnutls_handshake(session);
    while (status < 0 && gnutls_error_is_fatal(status) == 0);
    if (status == 0) {
        std::array<std::uint8_t, 1024> request{};
        // Records of type, length, body: an error "bad request", or agreement without a cookie.
        static const std::uint8_t kError[] = {0x80, 2, 0, 2, 0, 1, 0x80, 0, 0, 0};
        static const std::uint8_t kNoCookie[] = {0x80, 1, 0, 2, 0, 0, 0x80, 4, 0, 2, 0, 15, 0x80, 0, 0, 0};
        if (gnutls_record_recv(session, request.data(), request.size()) > 0) {
            if (fault_ == KeFault::ErrorRecord) gnutls_record_send(session, kError, sizeof kError);
            if (fault_ == KeFault::NoCookie) gnutls_record_send(session, kNoCookie, sizeof kNoCookie);
            gnutls_bye(session, GNUTLS_SHUT_WR);
        }
    }
    gnutls_deinit(session);
}

}  // namespace pelldor::testing
