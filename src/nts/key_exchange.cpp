#include "nts/key_exchange.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "exchange/reply_check.h"
#include "foundation/text.h"
#include "nts/ke_records.h"

namespace pelldor::nts {
namespace {

constexpr char kAlpn[] = "ntske/1";
constexpr char kExporterLabel[] = "EXPORTER-network-time-security";
// TLS 1.3 and nothing older, as NTS requires.
constexpr char kPriorities[] = "NORMAL:-VERS-ALL:+VERS-TLS1.3";
// A name still being looked up is looked at this often: its resolver thread cannot wake
// the loop.
constexpr std::int64_t kLookupPollNanos = 1'000'000;
constexpr std::int64_t kSecondsPerDay = 86400;

bool IsAddress(const std::string& host) { return host.find(':') != std::string::npos || host.find_first_not_of("0123456789.") == std::string::npos; }

std::string Days(std::int64_t seconds) {
    const std::int64_t days = seconds / kSecondsPerDay;
    return days == 1 ? "1 day" : std::to_string(days) + " days";
}

}  // namespace

// The TLS session over the connection, with its credentials; the transport's own failure
// kept for the message.
struct KeyExchange::Tls {
    std::unique_ptr<platform::StreamChannel> channel;
    gnutls_certificate_credentials_t credentials = nullptr;
    gnutls_session_t session = nullptr;
    platform::NetFailure failure;
    bool closed = false;

    ~Tls() {
        if (session != nullptr) gnutls_deinit(session);
        if (credentials != nullptr) gnutls_certificate_free_credentials(credentials);
    }

    static ssize_t Push(gnutls_transport_ptr_t self, const void* data, std::size_t size) {
        auto& tls = *static_cast<Tls*>(self);
        return tls.Result(tls.channel->Send({static_cast<const std::uint8_t*>(data), size}));
    }
    static ssize_t Pull(gnutls_transport_ptr_t self, void* data, std::size_t size) {
        auto& tls = *static_cast<Tls*>(self);
        return tls.Result(tls.channel->Receive({static_cast<std::uint8_t*>(data), size}));
    }

    ssize_t Result(const platform::StreamResult& result) {
        switch (result.status) {
        case platform::StreamStatus::Done:
            return static_cast<ssize_t>(result.size);
        case platform::StreamStatus::Closed:
            closed = true;
            return 0;
        case platform::StreamStatus::Again:
            gnutls_transport_set_errno(session, EAGAIN);
            return -1;
        case platform::StreamStatus::Failed:
            break;
        }
        failure = result.failure;
        gnutls_transport_set_errno(session, ECONNRESET);
        return -1;
    }
};

KeyExchange::KeyExchange(platform::Clock& clock, platform::Network& network, Loop& loop, KeTarget target,
                         std::int64_t start, std::int64_t deadline, std::function<void(const KeOutcome&)> finished)
    : clock_(clock), network_(network), loop_(loop), target_(std::move(target)), start_(start),
      deadline_(deadline), finished_(std::move(finished)) {
    request_ = KeRequest();
    lookup_ = network_.StartLookup(target_.host, target_.port);
    loop_.Add(*this);
    Advance(clock_.MonotonicNanos());
}

KeyExchange::~KeyExchange() { loop_.Remove(*this); }

platform::Channel* KeyExchange::Channel() { return tls_ ? tls_->channel.get() : nullptr; }

std::int64_t KeyExchange::WakeAt() const {
    if (outcome_.done) return platform::kNever;
    return stage_ == Stage::LookingUp ? std::min(clock_.MonotonicNanos() + kLookupPollNanos, deadline_) : deadline_;
}

void KeyExchange::Advance(std::int64_t /*until*/) {
    if (outcome_.done) return;
    if (stage_ == Stage::LookingUp) {
        const platform::LookupStatus status = lookup_->Poll();
        if (status == platform::LookupStatus::Failed) return Fail(exchange::notice::HostNotFound(lookup_->Failure()));
        if (status == platform::LookupStatus::Done) {
            for (platform::NetAddress address : lookup_->Addresses()) {
                if (target_.family && address.family != *target_.family) continue;
                address.port = target_.port;
                addresses_.push_back(address);
            }
            lookup_.reset();
            if (addresses_.empty()) return Fail(exchange::notice::HostNotFound({platform::NetError::NoAddressOfFamily, 0}));
            stage_ = Stage::Handshaking;
            Connect();
        }
    }
    if (!outcome_.done && stage_ == Stage::Handshaking) Handshake();
    if (!outcome_.done && stage_ == Stage::Sending) SendRequest();
    if (!outcome_.done && stage_ == Stage::Receiving) ReceiveAnswer();
    if (!outcome_.done && clock_.MonotonicNanos() >= deadline_) {
        const std::string within = " within " + SecondsText(deadline_ - start_);
        if (stage_ == Stage::LookingUp) return Fail("the name was not looked up" + within);
        Fail("no answer from " + AddressText(peer_) + within);
    }
}

// The next address's connection and a TLS session over it; the exchange fails once every
// address has refused.
void KeyExchange::Connect() {
    tls_.reset();
    platform::NetFailure failure;
    while (nextAddress_ < addresses_.size()) {
        peer_ = addresses_[nextAddress_++];
        platform::OpenStreamResult opened = network_.OpenTcp(peer_);
        if (!opened.channel) {
            failure = opened.failure;
            continue;
        }
        auto tls = std::make_unique<Tls>();
        tls->channel = std::move(opened.channel);
        const bool made =
            gnutls_certificate_allocate_credentials(&tls->credentials) == 0 &&
            (target_.caFile.empty() ? gnutls_certificate_set_x509_system_trust(tls->credentials) >= 0
                                    : gnutls_certificate_set_x509_trust_file(tls->credentials, target_.caFile.c_str(),
                                                                             GNUTLS_X509_FMT_PEM) > 0) &&
            gnutls_init(&tls->session, GNUTLS_CLIENT | GNUTLS_NONBLOCK) == 0 &&
            gnutls_priority_set_direct(tls->session, kPriorities, nullptr) == 0 &&
            gnutls_credentials_set(tls->session, GNUTLS_CRD_CERTIFICATE, tls->credentials) == 0;
        if (!made) {
            outcome_.ourOwn = true;
            return Fail(target_.caFile.empty() ? "the TLS library could not be set up with the system's trust store"
                                               : "no certificate could be read from " + Printable(target_.caFile));
        }
        // A name goes to the server (SNI), an address does not; either is what the
        // certificate must be for.
        if (!IsAddress(target_.host)) {
            gnutls_server_name_set(tls->session, GNUTLS_NAME_DNS, target_.host.data(), target_.host.size());
        }
        gnutls_session_set_verify_cert(tls->session, target_.host.c_str(), 0);
        gnutls_datum_t alpn{reinterpret_cast<unsigned char*>(const_cast<char*>(kAlpn)), sizeof kAlpn - 1};
        gnutls_alpn_set_protocols(tls->session, &alpn, 1, 0);
        gnutls_transport_set_ptr(tls->session, tls.get());
        gnutls_transport_set_push_function(tls->session, Tls::Push);
        gnutls_transport_set_pull_function(tls->session, Tls::Pull);
        tls_ = std::move(tls);
        return;
    }
    // Out of descriptors or memory: this machine could not ask.
    outcome_.ourOwn = failure.kind == platform::NetError::OutOfResources;
    Fail("no connection to " + AddressText(peer_) + ": " + exchange::notice::NetworkError(failure));
}

void KeyExchange::Handshake() {
    const int status = gnutls_handshake(tls_->session);
    if (status == GNUTLS_E_AGAIN || status == GNUTLS_E_INTERRUPTED) return;
    NoteCertificate();
    if (status == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
        const unsigned why = gnutls_session_get_verify_cert_status(tls_->session);
        const std::int64_t now = clock_.ReadWallClock().utc.seconds;
        if ((why & GNUTLS_CERT_EXPIRED) != 0) {
            return Fail("the certificate expired" +
                        (outcome_.certificateExpiry ? " " + Days(now - *outcome_.certificateExpiry) + " ago" : std::string()));
        }
        if ((why & GNUTLS_CERT_NOT_ACTIVATED) != 0) return Fail("the certificate is not valid yet");
        if ((why & GNUTLS_CERT_UNEXPECTED_OWNER) != 0) return Fail("the certificate is not for " + Printable(target_.host));
        return Fail("the certificate is not trusted");
    }
    if (status < 0 && tls_->failure.failed()) {
        // The connection itself failed: the next address, if the name has one.
        const std::string why = exchange::notice::NetworkError(tls_->failure);
        if (nextAddress_ < addresses_.size()) return Connect();
        return Fail("no connection to " + AddressText(peer_) + ": " + why);
    }
    if (status < 0) {
        std::string why = std::string("the TLS handshake failed: ") + gnutls_strerror(status);
        if (status == GNUTLS_E_FATAL_ALERT_RECEIVED) why += std::string(" (") + gnutls_alert_get_name(gnutls_alert_get(tls_->session)) + ")";
        return Fail(why);
    }
    gnutls_datum_t chosen{};
    if (gnutls_alpn_get_selected_protocol(tls_->session, &chosen) != 0 ||
        std::string_view(reinterpret_cast<const char*>(chosen.data), chosen.size) != kAlpn) {
        return Fail("the server did not agree on ALPN ntske/1");
    }
    stage_ = Stage::Sending;
}

void KeyExchange::SendRequest() {
    while (requestSent_ < request_.size()) {
        const ssize_t sent = gnutls_record_send(tls_->session, request_.data() + requestSent_, request_.size() - requestSent_);
        if (sent == GNUTLS_E_AGAIN || sent == GNUTLS_E_INTERRUPTED) return;
        if (sent < 0) return Fail(std::string("the request could not be sent: ") + gnutls_strerror(static_cast<int>(sent)));
        requestSent_ += static_cast<std::size_t>(sent);
    }
    stage_ = Stage::Receiving;
}

void KeyExchange::ReceiveAnswer() {
    std::array<std::uint8_t, 4096> buffer{};
    for (;;) {
        const ssize_t got = gnutls_record_recv(tls_->session, buffer.data(), buffer.size());
        if (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED) return;
        if (got == 0 || got == GNUTLS_E_PREMATURE_TERMINATION) return Fail("the server closed the connection before the end of its answer");
        if (got < 0) return Fail(std::string("the answer could not be read: ") + gnutls_strerror(static_cast<int>(got)));
        answer_.insert(answer_.end(), buffer.begin(), buffer.begin() + got);
        const KeParsed parsed = ParseKeResponse(answer_);
        if (parsed.status == KeParse::Invalid) return Fail("a malformed answer: " + parsed.problem);
        if (parsed.status == KeParse::Incomplete) continue;
        if (const std::string refusal = KeRefusal(parsed.response); !refusal.empty()) return Fail(refusal);
        Keys keys;
        keys.cookies = parsed.response.cookies;
        for (const std::uint8_t direction : {0, 1}) {
            const std::array<std::uint8_t, 5> context{0, kProtocolNtpV4, 0, kAeadAesSivCmac256, direction};
            Key& key = direction == 0 ? keys.clientToServer : keys.serverToClient;
            if (gnutls_prf_rfc5705(tls_->session, sizeof kExporterLabel - 1, kExporterLabel, context.size(),
                                   reinterpret_cast<const char*>(context.data()), key.size(),
                                   reinterpret_cast<char*>(key.data())) != 0) {
                return Fail("no keys could be exported from the TLS session");
            }
        }
        outcome_.keys = std::move(keys);
        outcome_.server = parsed.response.server;
        outcome_.port = parsed.response.port;
        return Finish();
    }
}

// The end of the server's certificate's validity, for the days it has left, whatever the
// handshake made of it.
void KeyExchange::NoteCertificate() {
    unsigned count = 0;
    const gnutls_datum_t* chain = gnutls_certificate_get_peers(tls_->session, &count);
    gnutls_x509_crt_t certificate = nullptr;
    if (chain == nullptr || count == 0 || gnutls_x509_crt_init(&certificate) != 0) return;
    if (gnutls_x509_crt_import(certificate, &chain[0], GNUTLS_X509_FMT_DER) == 0) {
        if (const time_t expiry = gnutls_x509_crt_get_expiration_time(certificate); expiry != static_cast<time_t>(-1)) {
            outcome_.certificateExpiry = static_cast<std::int64_t>(expiry);
        }
    }
    gnutls_x509_crt_deinit(certificate);
}

void KeyExchange::Fail(std::string why) {
    outcome_.failure = std::move(why);
    Finish();
}

void KeyExchange::Finish() {
    outcome_.done = true;
    outcome_.nanos = clock_.MonotonicNanos() - start_;
    tls_.reset();
    loop_.Remove(*this);
    if (finished_) finished_(outcome_);
}

}  // namespace pelldor::nts
