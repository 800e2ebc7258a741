#include "platform/background_lookup.h"

#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace pelldor::platform {
namespace {

// Shared by the lookup and its resolver thread, so either may go first.
struct LookupState {
    std::mutex mutex;
    bool finished = false;
    LookupOutcome outcome;
};

class PolledLookup final : public NameLookup {
public:
    explicit PolledLookup(LookupOutcome outcome) { Take(std::move(outcome)); }
    explicit PolledLookup(std::shared_ptr<LookupState> state) : state_(std::move(state)) {}

    LookupStatus Poll() override {
        if (state_) {
            std::lock_guard lock(state_->mutex);
            if (!state_->finished) return LookupStatus::Pending;
            Take(std::move(state_->outcome));
        }
        state_.reset();
        return status_;
    }
    const std::vector<NetAddress>& Addresses() const override { return addresses_; }
    NetFailure Failure() const override { return failure_; }

private:
    void Take(LookupOutcome outcome) {
        addresses_ = std::move(outcome.addresses);
        failure_ = outcome.failure;
        status_ = failure_.failed() ? LookupStatus::Failed : LookupStatus::Done;
    }

    std::shared_ptr<LookupState> state_;
    LookupStatus status_ = LookupStatus::Pending;
    std::vector<NetAddress> addresses_;
    NetFailure failure_;
};

}  // namespace

std::unique_ptr<NameLookup> FinishedLookup(LookupOutcome outcome) {
    return std::make_unique<PolledLookup>(std::move(outcome));
}

std::unique_ptr<NameLookup> StartNameLookup(const std::string& host, std::uint16_t port, Resolver resolve,
                                            NetFailure notFound) {
    if (host.empty() || host.find('\0') != std::string::npos) return FinishedLookup({{}, notFound});
    LookupOutcome numeric = resolve(host, port, true);
    if (!numeric.failure.failed()) return FinishedLookup(std::move(numeric));
    auto state = std::make_shared<LookupState>();
    try {
        std::thread([state, host, port, resolve = std::move(resolve)] {
            LookupOutcome outcome = resolve(host, port, false);
            std::lock_guard lock(state->mutex);
            state->outcome = std::move(outcome);
            state->finished = true;
        }).detach();
    } catch (const std::system_error& e) {
        return FinishedLookup({{}, {NetError::OutOfResources, e.code().value()}});
    }
    return std::make_unique<PolledLookup>(std::move(state));
}

}  // namespace pelldor::platform
