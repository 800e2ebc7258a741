#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/chronyd.h"
#include "support/nts_server.h"
#include "support/probe_run.h"
#include "support/responder.h"

// pelldor check --nts against chronyd's NTS and against a key exchange server of our own
// that makes the mistakes chronyd will not. Each fault is CRITICAL with its cause, within
// -t, and none falls back to unauthenticated time.
namespace pelldor::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Case {
    const char* name;
    std::optional<KeFault> fault;  // our server with this fault; chronyd without one
    std::string san;               // the certificate's name; chronyd serves no NTS without one
    std::string shift;             // when its 30 days begin
    bool trusted;                  // handed over with --ca-file
    int status;
    std::string says;              // in the status line; {port} for the key exchange's
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class Nts : public ::testing::TestWithParam<Case> {};

TEST_P(Nts, AuthenticatedTimeOrTheCauseOfItsAbsence) {
    const Case& c = GetParam();
    TempDir dir;
    std::optional<std::string> pem;
    std::optional<ChronydServer> chronyd;
    std::optional<NtsKeServer> ke;
    try {
        pem = MakeCertificate(dir, "server", c.san.empty() ? "IP:127.0.0.1" : c.san, c.shift);
        if (c.fault) {
            ke.emplace(*c.fault, *pem);
        } else {
            chronyd.emplace(ChronydOptions{.ntsCertificate = c.san.empty() ? "" : *pem});
        }
    } catch (const Unavailable& missing) {
        GTEST_SKIP() << missing.what();
    }
    const std::uint16_t kePort = ke ? ke->port() : c.san.empty() ? ClosedPort() : chronyd->ntsPort();
    std::vector<std::string> args{"check", "--nts", "-H", "127.0.0.1", "--nts-port", std::to_string(kePort), "-t", "2"};
    if (chronyd) args.insert(args.end(), {"-p", std::to_string(chronyd->port())});
    if (c.trusted) args.insert(args.end(), {"--ca-file", *pem});
    // The run hands --nts over to the helper that is installed beside the program.
    const ProbeSetup setup{.prepare = [](const std::string& folder) {
        (void)CopyExecutable(fs::path(BuiltBinary()).replace_filename("pelldor-nts").string(), folder);
    }};
    const ProbeRun run = RunProbe(ProbeBinary(), args, setup);
    ASSERT_TRUE(run.result.exited) << Dump(run);
    if (UnderWine()) {
        EXPECT_EQ(run.result.exitStatus, 3);
        EXPECT_EQ(run.result.out, "NTP UNKNOWN - NTS is not available in this build\n");
        return;
    }
    std::string says = c.says;
    if (const auto at = says.find("{port}"); at != std::string::npos) says.replace(at, 6, std::to_string(kePort));
    EXPECT_EQ(run.result.exitStatus, c.status) << run.result.out;
    EXPECT_NE(run.result.out.find(says), std::string::npos) << run.result.out;
    // A failed exchange gives no time at all, authenticated or not.
    EXPECT_EQ(run.result.out.find("offset=") == std::string::npos, c.status != 0) << run.result.out;
    ExpectElapsed(run, 0ms, 2s);
}

const Case kCases[] = {
    {"Authentic", {}, "IP:127.0.0.1", "0", true, 0, "authenticated by NTS|"},
    {"Expired", {}, "IP:127.0.0.1", "-400d", true, 2, "failed: the certificate expired 370 days ago|certificate_days=-370"},
    {"NotValidYet", {}, "IP:127.0.0.1", "+30d", true, 2, "failed: the certificate is not valid yet|"},
    {"ForAnotherName", {}, "DNS:other.example", "0", true, 2, "failed: the certificate is not for 127.0.0.1|"},
    {"Untrusted", {}, "IP:127.0.0.1", "0", false, 2, "failed: the certificate is not trusted|"},
    {"PlainChronyd", {}, "", "0", true, 2, "no connection to 127.0.0.1:{port}: Network error: Connection refused|"},
    {"ErrorRecord", KeFault::ErrorRecord, "IP:127.0.0.1", "0", true, 2, "answered with error 1 (bad request)|"},
    {"NoCookie", KeFault::NoCookie, "IP:127.0.0.1", "0", true, 2, "failed: the server gave no cookie|"},
    {"WrongAlpn", KeFault::WrongAlpn, "IP:127.0.0.1", "0", true, 2, "failed: the server did not agree on ALPN ntske/1|"},
    {"Tls12Only", KeFault::Tls12Only, "IP:127.0.0.1", "0", true, 2, "failed: the TLS handshake failed: "},
    {"Silent", KeFault::Silent, "IP:127.0.0.1", "0", true, 2, "no answer from 127.0.0.1:{port} within 2 s|"},
};
INSTANTIATE_TEST_SUITE_P(KeyExchange, Nts, ::testing::ValuesIn(kCases), [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace pelldor::testing
