#include "nts/service.h"

#include <algorithm>
#include <memory>

#include "exchange/reply_check.h"

namespace pelldor::nts {

std::vector<Outcome> Run(platform::Clock& clock, platform::Network& network, Loop& loop, const std::vector<Target>& targets) {
    exchange::Client client(clock, network, loop);
    const std::int64_t start = clock.MonotonicNanos();
    std::vector<Outcome> outcomes(targets.size());
    std::vector<std::unique_ptr<KeyExchange>> keyExchanges;
    std::vector<std::unique_ptr<exchange::Exchange>> exchanges(targets.size());
    std::int64_t deadline = start;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const Target& target = targets[i];
        const std::int64_t until = start + target.timeoutNanos;
        deadline = std::max(deadline, until);
        // Once the keys are there, the time exchange begins with what is left of the timeout.
        const auto keysGiven = [&, i, until](const KeOutcome& ke) {
            Outcome& outcome = outcomes[i];
            outcome.keNanos = ke.nanos;
            outcome.certificateExpiry = ke.certificateExpiry;
            if (!ke.keys) {
                outcome.keFailure = ke.failure;
                outcome.keFailureOurOwn = ke.ourOwn;
                outcome.result.done = true;
                return;
            }
            exchange::Plan plan;
            plan.host = ke.server.value_or(targets[i].ke.host);
            plan.port = ke.port.value_or(targets[i].ntpPort);
            plan.family = targets[i].ke.family;
            plan.resendNanos = targets[i].resendNanos;
            plan.timeoutNanos = std::max<std::int64_t>(until - clock.MonotonicNanos(), 1);
            plan.authenticator = std::make_shared<NtsAuthenticator>(*ke.keys);
            const std::int64_t begun = clock.MonotonicNanos();
            exchanges[i] = client.Begin(std::move(plan), [&, i, begun](const exchange::Result& result) {
                outcomes[i].result = result;
                // What was left of the timeout is no figure the user gave: tell theirs.
                if (result.notice == exchange::Notice::TimedOut) {
                    outcomes[i].result.text = exchange::notice::TimedOut(targets[i].timeoutNanos);
                }
                outcomes[i].exchangeNanos = clock.MonotonicNanos() - begun;
            });
        };
        keyExchanges.push_back(std::make_unique<KeyExchange>(clock, network, loop, target.ke, start, until, keysGiven));
    }
    const auto allDone = [&] {
        return std::all_of(outcomes.begin(), outcomes.end(), [](const Outcome& o) { return o.result.done; });
    };
    while (!allDone() && clock.MonotonicNanos() < deadline) loop.RunUntil(deadline, allDone);
    // Each task ends by its own deadline; should one not have, its server gave no time.
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (outcomes[i].result.done) continue;
        outcomes[i].result.done = true;
        outcomes[i].result.notice = exchange::Notice::TimedOut;
        outcomes[i].result.text = exchange::notice::TimedOut(targets[i].timeoutNanos);
    }
    return outcomes;
}

}  // namespace pelldor::nts
