#include <gnutls/crypto.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "exchange/exchange.h"
#include "exchange/ntp_wire.h"
#include "nts/aead.h"
#include "nts/authenticator.h"
#include "nts/ke_records.h"
#include "support/fake_network.h"
#include "support/ntp_packets.h"
#include "support/run_fixture.h"

namespace pelldor::nts {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(std::string_view text) {
    Bytes bytes;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != ' ') bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(at++, 2)), nullptr, 16)));
    }
    return bytes;
}

Bytes operator+(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

Bytes Cmac(const Bytes& key, const Bytes& data) {
    Bytes mac(16);
    EXPECT_EQ(gnutls_hmac_fast(GNUTLS_MAC_AES_CMAC_128, key.data(), 16, data.data(), data.size(), mac.data()), 0);
    return mac;
}

Bytes Doubled(Bytes block) {
    const bool carry = (block[0] & 0x80) != 0;
    for (std::size_t i = 0; i < 16; ++i) block[i] = static_cast<std::uint8_t>(block[i] << 1 | (i < 15 ? block[i + 1] >> 7 : 0));
    if (carry) block[15] ^= 0x87;
    return block;
}

// RFC 5297's construction with any number of strings, from GnuTLS's AES-CMAC and AES alone:
// what the published vectors were made with, to hold the product's one-string form against.
Bytes ReferenceSiv(const Bytes& key, const std::vector<Bytes>& strings, const Bytes& plaintext) {
    const Bytes k1(key.begin(), key.begin() + 16), k2(key.begin() + 16, key.end());
    Bytes d = Cmac(k1, Bytes(16, 0));
    for (const Bytes& s : strings) {
        d = Doubled(d);
        const Bytes mac = Cmac(k1, s);
        for (std::size_t i = 0; i < 16; ++i) d[i] ^= mac[i];
    }
    Bytes t = plaintext;
    if (t.size() < 16) {
        d = Doubled(d);
        t.push_back(0x80);
        t.resize(16, 0);
    }
    for (std::size_t i = 0; i < 16; ++i) t[t.size() - 16 + i] ^= d[i];
    Bytes sealed = Cmac(k1, t);
    Bytes counter = sealed;
    counter[8] &= 0x7f;
    counter[12] &= 0x7f;
    // CTR from AES alone: each counter block through CBC with the IV set back to zero.
    Bytes zero(16, 0);
    gnutls_datum_t cipherKey{const_cast<std::uint8_t*>(k2.data()), 16}, iv{zero.data(), 16};
    gnutls_cipher_hd_t aes = nullptr;
    EXPECT_EQ(gnutls_cipher_init(&aes, GNUTLS_CIPHER_AES_128_CBC, &cipherKey, &iv), 0);
    for (std::size_t at = 0; at < plaintext.size(); at += 16) {
        Bytes block = counter;
        gnutls_cipher_set_iv(aes, zero.data(), 16);
        EXPECT_EQ(gnutls_cipher_encrypt(aes, block.data(), 16), 0);
        for (std::size_t i = 0; i < 16 && at + i < plaintext.size(); ++i) sealed.push_back(plaintext[at + i] ^ block[i]);
        for (std::size_t i = 16; i-- > 0 && ++counter[i] == 0;) {}
    }
    gnutls_cipher_deinit(aes);
    return sealed;
}

TEST(NtsAead, RfcVectorsThroughTheReferenceAndTheProductAgreesWithIt) {
    const Bytes key1 = Hex("fffefdfc fbfaf9f8 f7f6f5f4 f3f2f1f0 f0f1f2f3 f4f5f6f7 f8f9fafb fcfdfeff");
    EXPECT_EQ(ReferenceSiv(key1, {Hex("10111213 14151617 18191a1b 1c1d1e1f 20212223 24252627")},
                           Hex("11223344 55667788 99aabbcc ddee")),
              Hex("85632d07 c6e8f37f 950acd32 0a2ecc93 40c02b96 90c4dc04 daef7f6a fe5c"));
    const Bytes key2 = Hex("7f7e7d7c 7b7a7978 77767574 73727170 40414243 44454647 48494a4b 4c4d4e4f");
    const Bytes ad = Hex("00112233 44556677 8899aabb ccddeeff deaddada deaddada ffeeddcc bbaa9988 77665544 33221100");
    const Bytes nonce = Hex("09f91102 9d74e35b d84156c5 635688c0");
    const Bytes plaintext = Hex("74686973 20697320 736f6d65 20706c61 696e7465 78742074 6f20656e 63727970 74207573 "
                                "696e6720 5349562d 414553");
    EXPECT_EQ(ReferenceSiv(key2, {ad, Hex("10203040 50607080 90a0"), nonce}, plaintext),
              Hex("7bdb6e3b 432667eb 06f4d14b ff2fbd0f cb900f2f ddbe4043 26601965 c889bf17 dba77ceb 094fa663 b7a3f748 "
                  "ba8af829 ea64ad54 4a272e9c 485b62a3 fd5c0d"));
    // NTS's form: one string, then the nonce.
    Key key{};
    std::copy(key2.begin(), key2.end(), key.begin());
    const Bytes sealed = Seal(key, nonce, ad, plaintext);
    EXPECT_EQ(sealed, ReferenceSiv(key2, {ad, nonce}, plaintext));
    EXPECT_EQ(Open(key, nonce, ad, sealed), plaintext);
    for (const std::size_t bit : {0ul, 127ul, 8 * sealed.size() - 1}) {
        Bytes flipped = sealed;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1 << bit % 8);
        EXPECT_FALSE(Open(key, nonce, ad, flipped)) << bit;
    }
    EXPECT_FALSE(Open(key, Bytes(nonce.begin(), nonce.begin() + 15), ad, sealed)) << "a nonce shorter than NTS allows";
    EXPECT_FALSE(Open(key, {}, ad, sealed)) << "an empty nonce, which the library would abort on";
    EXPECT_FALSE(Open(key, nonce, ad, Bytes(15, 0))) << "shorter than a tag";
}

TEST(NtsKeRecords, TheAnswerIsReadWithoutTrustingIt) {
    EXPECT_EQ(KeRequest(), Hex("8001 0002 0000  0004 0002 000f  8000 0000"));
    const auto rec = [](std::uint16_t type, bool critical, const char* body) { return Record(type, critical, Hex(body)); };
    const Bytes protocol = rec(kNextProtocol, true, "0000"), aead = rec(kAeadAlgorithm, false, "000f");
    const Bytes cookie = rec(kNewCookie, false, "c0 0c 1e"), end = rec(kEndOfMessage, true, "");
    struct Case {
        const char* name;
        Bytes answer;
        KeParse status;
        std::string said;  // the problem, or for a complete answer its refusal
    };
    const Case cases[] = {
        {"good", protocol + aead + cookie + cookie + rec(kServer, true, "6e 74 70") + rec(kPort, true, "007b") +
                     rec(99, false, "ff") + end, KeParse::Complete, ""},
        {"cut short", protocol + aead + cookie, KeParse::Incomplete, ""},
        {"cut in a record", Bytes(protocol.begin(), protocol.begin() + 5), KeParse::Incomplete, ""},
        {"an error record", rec(kError, true, "0001") + end, KeParse::Complete, "the server answered with error 1 (bad request)"},
        {"no cookie", protocol + aead + end, KeParse::Complete, "the server gave no cookie"},
        {"another protocol", rec(kNextProtocol, true, "8001") + aead + cookie + end, KeParse::Complete, "the server agreed on no NTPv4"},
        {"an empty protocol list", rec(kNextProtocol, true, "") + aead + cookie + end, KeParse::Complete, "the server agreed on no NTPv4"},
        {"another AEAD", protocol + rec(kAeadAlgorithm, true, "0011") + cookie + end, KeParse::Complete,
         "the server agreed on no AES-SIV-CMAC-256"},
        {"an unknown critical record", rec(99, true, "") + end, KeParse::Invalid, "an unrecognised critical record of type 99"},
        {"an odd list", rec(kNextProtocol, true, "00") + end, KeParse::Invalid, "a malformed or repeated list"},
        {"a repeated list", protocol + protocol + end, KeParse::Invalid, "a malformed or repeated list"},
        {"an End with a body", protocol + rec(kEndOfMessage, true, "00"), KeParse::Invalid, "an End of Message record with a body"},
        {"a port of three bytes", rec(kPort, true, "00007b") + end, KeParse::Invalid, "an error, warning or port record"},
        {"an empty cookie", rec(kNewCookie, false, "") + end, KeParse::Invalid, "an empty cookie"},
        {"a server name with a newline", rec(kServer, true, "61 0a 62") + end, KeParse::Invalid, "a server name that is not"},
        {"a flood", Hex("0063 ffff") + Bytes(kMostResponseBytes, 0), KeParse::Invalid, "an answer of more than 16384 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const KeParsed parsed = ParseKeResponse(c.answer);
        EXPECT_EQ(parsed.status, c.status);
        const std::string said = c.status == KeParse::Complete ? KeRefusal(parsed.response) : parsed.problem;
        EXPECT_TRUE(said.starts_with(c.said)) << said;
    }
    const KeResponse good = ParseKeResponse(cases[0].answer).response;
    EXPECT_EQ(good.cookies, (std::vector<Bytes>{Hex("c00c1e"), Hex("c00c1e")}));
    EXPECT_EQ(good.server, "ntp");
    EXPECT_EQ(good.port, 123);
}

// The authenticated exchange against a scripted NTS server on the fake network, which checks
// each request's own authenticator with the client's key and answers with the server's.
class NtsExchange : public ::testing::Test {
protected:
    NtsExchange() {
        keys.clientToServer.fill(0xc2);
        keys.serverToClient.fill(0x52);
        keys.cookies = {Bytes(100, 1), Bytes(100, 2)};
        net.Resolve("nts.test", {server});
    }

    // Spoils the reply: its header and identifier before sealing, the bytes after; or sends none.
    struct Spoil {
        std::function<void(exchange::NtpPacket&, Bytes& identifier)> before = {};
        std::function<void(Bytes&)> after = {};
        bool authenticate = true;
        bool answer = true;
    };

    exchange::Result Ask(const Spoil& spoil) {
        cookiesSeen.clear();
        net.onSend = [&](testing::FakeChannelRecord& channel) {
            const Bytes& request = channel.sent.back();
            const auto fields = exchange::ExtensionFields(request);
            ASSERT_TRUE(fields && fields->size() == 3);
            EXPECT_EQ((*fields)[1].body.size(), 100u);
            cookiesSeen.push_back((*fields)[1].body[0]);
            const auto& body = (*fields)[2].body;
            const std::size_t nonce = body[1], tag = body[3];
            ASSERT_EQ(nonce, 16u);
            EXPECT_TRUE(Open(keys.clientToServer, body.subspan(4, nonce), std::span(request).first((*fields)[2].offset),
                             body.subspan(4 + nonce, tag)))
                << "the request's authenticator does not verify";
            if (!spoil.answer) return;
            exchange::NtpPacket header = net.ReplyTo(channel, 250'000'000);
            Bytes identifier((*fields)[0].body.begin(), (*fields)[0].body.end());
            if (spoil.before) spoil.before(header, identifier);
            Bytes reply = testing::PacketBytes(header);
            exchange::AppendExtensionField(reply, 0x0104, identifier);
            if (spoil.authenticate) {
                const Bytes replyNonce(16, 7);
                const Bytes sealed = Seal(keys.serverToClient, replyNonce, reply, Bytes(40, 9));
                exchange::AppendExtensionField(reply, 0x0404, Bytes{0, 16, 0, static_cast<std::uint8_t>(sealed.size())} +
                                                                  replyNonce + sealed);
            }
            if (spoil.after) spoil.after(reply);
            channel.inbox.push_back({reply, channel.peer, std::nullopt, m.clock.monotonicNanos});
        };
        const exchange::Plan plan{"nts.test", {}, 123, std::nullopt, 1'000'000'000, 2'500'000'000,
                                  std::make_shared<NtsAuthenticator>(keys)};
        return exchange::Client(m.clock, net, m.loop).Run({plan}).front();
    }

    testing::TestMachine m;
    testing::FakeNetwork net{m.clock};
    const platform::NetAddress server = testing::V4(127, 0, 0, 9, 123);
    Keys keys;
    std::vector<std::uint8_t> cookiesSeen;
};

TEST_F(NtsExchange, OnlyAnAuthenticReplyGivesTheTime) {
    struct Case {
        const char* name;
        Spoil spoil;
        std::string text;  // empty for a time
        // A request unanswered is sent again with the next cookie while there is one, then the last again.
        std::vector<std::uint8_t> cookies = {1};
    };
    const Case cases[] = {
        {"authentic", {}, ""},
        {"stripped", {.authenticate = false}, "Not authenticated: no authenticator"},
        {"a flipped tag bit", {.after = [](Bytes& r) { r[r.size() - 41] ^= 1; }}, "Not authenticated: the authenticator does not verify"},
        {"an attacker's timestamp", {.after = [](Bytes& r) { r[41] ^= 1; }}, "Not authenticated: the authenticator does not verify"},
        {"another identifier", {.before = [](exchange::NtpPacket&, Bytes& id) { id[31] ^= 1; }},
         "Not authenticated: its Unique Identifier is none of ours"},
        {"a field after the authenticator", {.after = [](Bytes& r) { exchange::AppendExtensionField(r, 0x0204, Bytes(12, 0)); }},
         "Not authenticated: fields after the authenticator"},
        {"a field cut short", {.after = [](Bytes& r) { r.resize(r.size() - 2); }},
         "Not authenticated: extension fields that do not fill the reply"},
        {"the NTS NAK", {.before = testing::Kiss("NTSN"), .authenticate = false},
         "NTS NAK from server (kiss code NTSN): it refused our cookie"},
        {"an unauthenticated DENY", {.before = testing::Kiss("DENY"), .authenticate = false}, "Not authenticated: no authenticator"},
        {"unanswered", {.answer = false}, "No answer within 2.5 s", {1, 2, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const exchange::Result result = Ask(c.spoil);
        EXPECT_EQ(result.text, c.text);
        EXPECT_EQ(result.measurement.has_value(), c.text.empty()) << "never a time from a reply that is not authentic";
        EXPECT_EQ(result.notice == exchange::Notice::TimedOut, !c.spoil.answer);
        EXPECT_EQ(cookiesSeen, c.cookies);
        if (result.measurement) {
            EXPECT_EQ(result.measurement->offsetNanos, 250'000'000);
        }
    }
}

}  // namespace
}  // namespace pelldor::nts
