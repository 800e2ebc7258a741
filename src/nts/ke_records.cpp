#include "nts/ke_records.h"

namespace pelldor::nts {
namespace {

constexpr std::uint16_t kCriticalBit = 0x8000;
constexpr std::size_t kHostNameLimit = 255;

std::uint16_t Load16(std::span<const std::uint8_t> bytes) { return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]); }

void Store16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

// A body of 16-bit numbers; none when its length is odd.
std::optional<std::vector<std::uint16_t>> Numbers(std::span<const std::uint8_t> body) {
    if (body.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint16_t> numbers;
    for (std::size_t at = 0; at < body.size(); at += 2) numbers.push_back(Load16(body.subspan(at)));
    return numbers;
}

KeParsed Invalid(std::string problem) { return {KeParse::Invalid, {}, std::move(problem)}; }

std::string ErrorMeaning(std::uint16_t code) {
    switch (code) {
    case 0:
        return "unrecognised critical record";
    case 1:
        return "bad request";
    case 2:
        return "internal server error";
    default:
        return "unknown error";
    }
}

}  // namespace

std::vector<std::uint8_t> Record(std::uint16_t type, bool critical, std::span<const std::uint8_t> body) {
    std::vector<std::uint8_t> record;
    Store16(record, static_cast<std::uint16_t>(type | (critical ? kCriticalBit : 0)));
    Store16(record, static_cast<std::uint16_t>(body.size()));
    record.insert(record.end(), body.begin(), body.end());
    return record;
}

std::vector<std::uint8_t> KeRequest() {
    std::vector<std::uint8_t> request = Record(kNextProtocol, true, std::vector<std::uint8_t>{0, kProtocolNtpV4});
    const auto aead = Record(kAeadAlgorithm, false, std::vector<std::uint8_t>{0, kAeadAesSivCmac256});
    const auto end = Record(kEndOfMessage, true, {});
    request.insert(request.end(), aead.begin(), aead.end());
    request.insert(request.end(), end.begin(), end.end());
    return request;
}

KeParsed ParseKeResponse(std::span<const std::uint8_t> bytes) {
    KeParsed parsed;
    KeResponse& r = parsed.response;
    std::size_t at = 0;
    for (;;) {
        if (bytes.size() - at < 4 || bytes.size() - at - 4 < Load16(bytes.subspan(at + 2))) {
            if (bytes.size() > kMostResponseBytes) return Invalid("an answer of more than 16384 bytes");
            return parsed;
        }
        const std::uint16_t word = Load16(bytes.subspan(at));
        const auto type = static_cast<std::uint16_t>(word & ~kCriticalBit);
        const std::span<const std::uint8_t> body = bytes.subspan(at + 4, Load16(bytes.subspan(at + 2)));
        at += 4 + body.size();
        switch (type) {
        case kEndOfMessage:
            if (!body.empty()) return Invalid("an End of Message record with a body");
            parsed.status = KeParse::Complete;
            return parsed;
        case kNextProtocol:
        case kAeadAlgorithm: {
            auto numbers = Numbers(body);
            auto& list = type == kNextProtocol ? r.protocols : r.algorithms;
            if (!numbers || !list.empty()) return Invalid("a malformed or repeated list of protocols or algorithms");
            list = *numbers;
            if (list.empty()) list.push_back(0xffff);  // named, but nothing in it: none agreed on
            break;
        }
        case kError:
        case kWarning:
        case kPort:
            if (body.size() != 2) return Invalid("an error, warning or port record that is not two bytes");
            (type == kError ? r.error : type == kWarning ? r.warning : r.port) = Load16(body);
            break;
        case kNewCookie:
            if (body.empty()) return Invalid("an empty cookie");
            r.cookies.emplace_back(body.begin(), body.end());
            break;
        case kServer:
            if (body.empty() || body.size() > kHostNameLimit) return Invalid("a server name of " + std::to_string(body.size()) + " bytes");
            for (const std::uint8_t c : body) {
                if (c < 0x21 || c > 0x7e) return Invalid("a server name that is not printable ASCII");
            }
            r.server = std::string(body.begin(), body.end());
            break;
        default:
            if ((word & kCriticalBit) != 0) return Invalid("an unrecognised critical record of type " + std::to_string(type));
            break;
        }
    }
}

std::string KeRefusal(const KeResponse& response) {
    if (response.error) {
        return "the server answered with error " + std::to_string(*response.error) + " (" + ErrorMeaning(*response.error) + ")";
    }
    if (response.protocols != std::vector<std::uint16_t>{kProtocolNtpV4}) return "the server agreed on no NTPv4";
    if (response.algorithms != std::vector<std::uint16_t>{kAeadAesSivCmac256}) return "the server agreed on no AES-SIV-CMAC-256";
    if (response.cookies.empty()) return "the server gave no cookie";
    return {};
}

}  // namespace pelldor::nts
