#include "nts/authenticator.h"

#include <algorithm>
#include <cassert>

#include "exchange/ntp_wire.h"

namespace pelldor::nts {
namespace {

enum FieldType : std::uint16_t {
    kUniqueIdentifier = 0x0104,
    kCookie = 0x0204,
    kAuthenticator = 0x0404,
};

constexpr std::size_t kIdentifierBytes = 32;
constexpr std::size_t kNonceBytes = 16;
// A request's identifiers kept for the replies that may still come, as far back as the
// exchange keeps its requests' cookies.
constexpr std::size_t kIdentifiersKept = 8;

std::size_t Padded(std::size_t size) { return (size + 3) / 4 * 4; }

void Put16(std::vector<std::uint8_t>& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

// The nonce and what was sealed, as an authenticator field's body holds them.
struct Sealed {
    std::span<const std::uint8_t> nonce;
    std::span<const std::uint8_t> ciphertext;
};

std::optional<Sealed> SealedIn(std::span<const std::uint8_t> body) {
    if (body.size() < 4) return std::nullopt;
    const std::size_t nonce = static_cast<std::size_t>(body[0] << 8 | body[1]);
    const std::size_t ciphertext = static_cast<std::size_t>(body[2] << 8 | body[3]);
    if (Padded(nonce) + Padded(ciphertext) > body.size() - 4) return std::nullopt;
    return Sealed{body.subspan(4, nonce), body.subspan(4 + Padded(nonce), ciphertext)};
}

// The server's refusal of our cookie: a kiss-o'-death whose code is NTSN.
bool IsNak(std::span<const std::uint8_t> reply) {
    return reply[1] == 0 && reply[12] == 'N' && reply[13] == 'T' && reply[14] == 'S' && reply[15] == 'N';
}

}  // namespace

std::vector<std::uint8_t> NtsAuthenticator::Extend(std::span<const std::uint8_t> header) {
    assert(!keys_.cookies.empty());
    std::vector<std::uint8_t> request(header.begin(), header.end());
    std::vector<std::uint8_t> identifier(kIdentifierBytes);
    random_(identifier);
    exchange::AppendExtensionField(request, kUniqueIdentifier, identifier);
    // A fresh cookie for each request while they last, so that the requests cannot be
    // linked to one another; then the last one again.
    exchange::AppendExtensionField(request, kCookie, keys_.cookies[std::min(nextCookie_++, keys_.cookies.size() - 1)]);
    std::vector<std::uint8_t> nonce(kNonceBytes);
    random_(nonce);
    const std::vector<std::uint8_t> tag = Seal(keys_.clientToServer, nonce, request, {});
    std::vector<std::uint8_t> body;
    Put16(body, nonce.size());
    Put16(body, tag.size());
    body.insert(body.end(), nonce.begin(), nonce.end());
    body.insert(body.end(), tag.begin(), tag.end());
    exchange::AppendExtensionField(request, kAuthenticator, body);
    if (identifiers_.size() == kIdentifiersKept) identifiers_.erase(identifiers_.begin());
    identifiers_.push_back(std::move(identifier));
    return request;
}

exchange::Authenticator::Examined NtsAuthenticator::Examine(std::span<const std::uint8_t> reply) {
    const auto forged = [](const char* why) { return Examined{Finding::Forged, why}; };
    if (reply.size() < exchange::kNtpPacketSize) return forged("a reply cut short");
    const auto fields = exchange::ExtensionFields(reply);
    if (!fields) return forged("extension fields that do not fill the reply");
    const auto find = [&](std::uint16_t type) {
        return std::find_if(fields->begin(), fields->end(), [type](const auto& f) { return f.type == type; });
    };
    const auto identifier = find(kUniqueIdentifier);
    if (identifier == fields->end()) return forged("no Unique Identifier");
    const bool ours = std::any_of(identifiers_.begin(), identifiers_.end(), [&](const auto& sent) {
        return identifier->body.size() >= sent.size() && std::equal(sent.begin(), sent.end(), identifier->body.begin());
    });
    if (!ours) return forged("its Unique Identifier is none of ours");
    const auto authenticator = find(kAuthenticator);
    if (authenticator == fields->end()) return IsNak(reply) ? Examined{Finding::Refused, {}} : forged("no authenticator");
    if (authenticator + 1 != fields->end()) return forged("fields after the authenticator");
    const auto sealed = SealedIn(authenticator->body);
    if (!sealed) return forged("an authenticator that does not hold its own lengths");
    if (!Open(keys_.serverToClient, sealed->nonce, reply.first(authenticator->offset), sealed->ciphertext)) {
        return forged("the authenticator does not verify");
    }
    return {Finding::Authentic, {}};
}

}  // namespace pelldor::nts
