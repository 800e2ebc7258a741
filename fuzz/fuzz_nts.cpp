// What an NTS server may send, read by the key exchange's record parser and by the
// authenticator, against invariants that hold whatever the bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "exchange/ntp_wire.h"
#include "fuzz_check.h"
#include "nts/authenticator.h"
#include "nts/ke_records.h"

namespace pelldor::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

void CheckRecords(std::span<const std::uint8_t> answer) {
    const nts::KeParsed parsed = nts::ParseKeResponse(answer);
    Check(parsed.status != nts::KeParse::Invalid || !parsed.problem.empty(), "an invalid answer without its problem");
    if (parsed.status != nts::KeParse::Complete) return;
    Check(parsed.response.cookies.size() <= answer.size() / 5, "more cookies than the answer has records");
    // The records before End of Message are no answer yet, wherever they are cut.
    for (std::size_t cut = 0; cut < answer.size(); cut += 1 + answer.size() / 16) {
        const nts::KeParse status = nts::ParseKeResponse(answer.first(cut)).status;
        Check(status != nts::KeParse::Complete || cut >= 4, "a complete answer in fewer bytes than its End record");
    }
}

// The same bytes every time, so that a run from a fixed seed is the same run.
void FixedBytes(std::span<std::uint8_t> bytes) { std::fill(bytes.begin(), bytes.end(), std::uint8_t{0xa5}); }

// Whether what a server sealed would be read as an answer to us: its fields tile it, hold no
// authenticator, and the first identifier among them is the one we sent.
bool ReadAsOurs(std::span<const std::uint8_t> reply, std::span<const std::uint8_t> identifier) {
    const auto fields = exchange::ExtensionFields(reply);
    if (!fields) return false;
    const auto typed = [&](std::uint16_t type) {
        return std::find_if(fields->begin(), fields->end(), [type](const auto& field) { return field.type == type; });
    };
    const auto first = typed(0x0104);
    return typed(0x0404) == fields->end() && first != fields->end() && first->body.size() >= identifier.size() &&
           std::equal(identifier.begin(), identifier.end(), first->body.begin());
}

// The bytes as a reply's header and fields, then the fields that answer our request: its
// identifier and an authenticator sealed with the server's key, as the server would.
void CheckAuthenticator(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < exchange::kNtpPacketSize + 1) return;
    nts::Keys keys;
    keys.clientToServer.fill(1);
    keys.serverToClient.fill(2);
    keys.cookies = {Bytes(64, 3)};
    nts::NtsAuthenticator authenticator(keys, FixedBytes);
    const Bytes request = authenticator.Extend(Bytes(exchange::kNtpPacketSize, 0));
    const auto sent = exchange::ExtensionFields(request);
    Check(sent && sent->size() == 3 && sent->back().offset + 40 == request.size(), "a request whose fields do not tile it");

    Bytes reply(bytes.begin() + 1, bytes.end());
    Check(authenticator.Examine(reply).finding != exchange::Authenticator::Finding::Authentic,
          "a reply authentic without the server's key");
    exchange::AppendExtensionField(reply, 0x0104, sent->front().body);
    // The fuzzer's last field may take in ours, as a server's could.
    const bool ours = ReadAsOurs(reply, sent->front().body);
    Bytes nonce(16, bytes[0]), body{0, 16, 0, 16};
    const Bytes tag = nts::Seal(keys.serverToClient, nonce, reply, {});
    body.insert(body.end(), nonce.begin(), nonce.end());
    body.insert(body.end(), tag.begin(), tag.end());
    exchange::AppendExtensionField(reply, 0x0404, body);
    const bool authentic = authenticator.Examine(reply).finding == exchange::Authenticator::Finding::Authentic;
    Check(authentic == ours, "a sealed reply was not authentic exactly when it would be read as ours");
    // Any one byte changed is no longer the server's.
    reply[bytes[0] % reply.size()] ^= 0x20;
    Check(authenticator.Examine(reply).finding != exchange::Authenticator::Finding::Authentic, "a changed byte went unseen");
}

}  // namespace
}  // namespace pelldor::fuzz

// The first byte picks the reader: even for the key exchange's records, odd for a reply.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    if (data[0] % 2 == 0) {
        pelldor::fuzz::CheckRecords(rest);
    } else {
        pelldor::fuzz::CheckAuthenticator(rest);
    }
    return 0;
}
