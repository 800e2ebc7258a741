#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/bounds.h"
#include "support/netns.h"
#include "support/ntpd.h"
#include "support/probe_run.h"
#include "support/server_pool.h"

namespace pelldor::testing {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ServerPoolEnvironment<NtpdServer>);

// A run that waited out a single timeout it had no reason to wait for stands out.
constexpr int kTimeoutSeconds = kPatientTimeout;
const std::string kPort = std::to_string(NtpdServer::kPort);

std::string Describe(const NtpReplyHeader& reply) {
    return "ntpd answers with leap " + std::to_string(reply.leap) + ", stratum " + std::to_string(reply.stratum) +
           ", reference \"" + reply.ReferenceText() + "\" (" + std::to_string(reply.referenceId >> 24) + "." +
           std::to_string((reply.referenceId >> 16) & 0xff) + "." + std::to_string((reply.referenceId >> 8) & 0xff) +
           "." + std::to_string(reply.referenceId & 0xff) + ")";
}

// The probe runs in ntpd's namespace, where 127.0.0.1:123 is ntpd's, with the log on: the
// drop-in's own table holds runs without it.
class WithNtpd : public WithServer<NtpdServer> {
protected:
    void Serve(const NtpdOptions& options) {
        if (UnderWine()) {
            GTEST_SKIP() << "under Wine the probe's sockets are made by the wineserver, outside ntpd's namespace";
        }
        const std::string key =
            std::string(options.synchronised ? "sync" : "start") + (options.rateLimited ? "/limited" : "");
        WithServer::Serve(key, options);
        if (server_ == nullptr) return;
        RecordProperty("ntpd_first_answer_ms", std::to_string(server_->FirstAnswer().count()));
        if (const auto synchronised = server_->Synchronised()) {
            RecordProperty("ntpd_synchronised_ms", std::to_string(synchronised->count()));
        }
    }

    // No run here waits for its timeout: one that does is killed well before it.
    [[nodiscard]] ProbeRun Probe(int timeout, int retries) const {
        const auto killAfter = bounds::DropInRun(0, retries, true, 2L * (retries + 1)) + 2 * kSlack;
        return RunDropIn(timeout, retries, server_->Peer(),
                         {.logging = true, .killAfter = killAfter, .via = server_->netns().Via()});
    }

    [[nodiscard]] std::string Args(int timeout, int retries) const {
        return std::to_string(timeout) + " " + std::to_string(retries) + " " + server_->Peer();
    }
};

class NtpdStarting : public WithNtpd {
protected:
    void SetUp() override { Serve({}); }
};

TEST_F(NtpdStarting, IsNotSynchronisedAndEveryAttemptAsksAgain) {
    const auto heard = server_->Ask(2s);
    ASSERT_TRUE(heard.has_value()) << server_->Output();
    SCOPED_TRACE(Describe(*heard));
    // INIT comes as stratum 0 with the alarm leap indicator, like a kiss-o'-death, yet it
    // only tells that ntpd has no time yet.
    ASSERT_EQ(heard->leap, 3);
    ASSERT_EQ(heard->stratum, 0);
    ASSERT_EQ(heard->ReferenceText(), "INIT");

    UdpRequestCounter requests(server_->netns(), NtpdServer::kPort);
    const ProbeRun run = Probe(kTimeoutSeconds, 2);
    ExpectEnd(run, 0);
    ExpectLog(run, FailedLog(Args(kTimeoutSeconds, 2), NtpdServer::kHost, kPort,
                             "Error 7: Server not synchronised (kiss code INIT)", 3));
    EXPECT_EQ(requests.Count(), 3) << Dump(run);
    ExpectNoWait(run, 3);
}

class NtpdSynchronised : public WithNtpd {
protected:
    void SetUp() override { Serve({.synchronised = true}); }
};

TEST_F(NtpdSynchronised, GivesItsTimeAndTheVerdict) {
    const auto heard = server_->Ask(2s);
    ASSERT_TRUE(heard.has_value()) << server_->Output();
    SCOPED_TRACE(Describe(*heard));
    ASSERT_EQ(heard->leap, 0);
    ASSERT_GE(heard->stratum, 1);
    ASSERT_LE(heard->stratum, 15);

    UdpRequestCounter requests(server_->netns(), NtpdServer::kPort);
    const ProbeRun run = Probe(2, 0);
    ExpectEnd(run, 100);
    ExpectLog(run, AnsweredLog(Args(2, 0), NtpdServer::kHost, kPort, 100));
    // ntpd serves this machine's own clock, and the log cuts both times to whole seconds.
    EXPECT_LE(std::llabs(LoggedLag(run)), 1) << Dump(run);
    EXPECT_EQ(requests.Count(), 1) << Dump(run);
}

class NtpdRateLimited : public WithNtpd {
protected:
    void SetUp() override { Serve({.rateLimited = true}); }
};

TEST_F(NtpdRateLimited, AKissOfDeathEndsEveryAttemptWithoutAskingAgain) {
    // Rate limits are kept per client address, and the probe shares 127.0.0.1 with these
    // requests: they put the address over the limit and show that ntpd kisses the excess.
    std::optional<NtpReplyHeader> kiss;
    for (int i = 0; i < 5 && !kiss; ++i) {
        const auto reply = server_->Ask(200ms);
        if (reply && reply->stratum == 0 && reply->ReferenceText() == "RATE") kiss = reply;
    }
    ASSERT_TRUE(kiss.has_value()) << "ntpd sent no KoD RATE to 5 requests in a row\n" << server_->Output();
    SCOPED_TRACE(Describe(*kiss));

    UdpRequestCounter requests(server_->netns(), NtpdServer::kPort);
    const ProbeRun run = Probe(kTimeoutSeconds, 2);
    ExpectEnd(run, 0);
    ExpectLog(run, FailedLog(Args(kTimeoutSeconds, 2), NtpdServer::kHost, kPort,
                             "Error 6: Kiss-o'-death from server: RATE", 3));
    EXPECT_EQ(requests.Count(), 1) << "a server that sent a kiss-o'-death was asked again\n" << Dump(run);
    ExpectNoWait(run, 3);
}

}  // namespace
}  // namespace pelldor::testing
