#include "platform/background_lookup.h"

#include <mutex>
#include <new>
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

// The resolver behind a barrier: nothing it throws may leave a thread (that would end the
// process through abort) or reach the time client, so an error there is a failed lookup.
LookupOutcome Guarded(const Resolver& resolve, const std::string& host, std::uint16_t port, bool numericOnly) {
    try {
        return resolve(host, port, numericOnly);
    } catch (const std::system_error& e) {
        return {{}, {NetError::Other, e.code().value()}};
    } catch (const std::bad_alloc&) {
        return {{}, {NetError::OutOfResources, 0}};
    } catch (...) {
        return {{}, {NetError::Other, 0}};
    }
}

}  // namespace

std::unique_ptr<NameLookup> FinishedLookup(LookupOutcome outcome) {
    return std::make_unique<PolledLookup>(std::move(outcome));
}

std::unique_ptr<NameLookup> StartNameLookup(const std::string& host, std::uint16_t port, Resolver resolve,
                                            NetFailure notFound) {
    if (host.empty() || host.find('\0') != std::string::npos) return FinishedLookup({{}, notFound});
    LookupOutcome numeric = Guarded(resolve, host, port, true);
    if (!numeric.failure.failed()) return FinishedLookup(std::move(numeric));
    auto state = std::make_shared<LookupState>();
    try {
        // Held until the thread is detached: the thread publishes under this lock, so it
        // cannot end while still joinable. mingw-w64's winpthreads (10.0, Debian 12) runs
        // the exit handler of a thread that ended joinable only after detach() has handed
        // its record to the next new thread, whose start routine it then wipes: that thread
        // ends without running, and its lookup stays pending for good.
        const std::lock_guard untilDetached(state->mutex);
        std::thread([state, host, port, resolve = std::move(resolve)]() noexcept {
            LookupOutcome outcome = Guarded(resolve, host, port, false);
            try {
                std::lock_guard lock(state->mutex);
                state->outcome = std::move(outcome);
                state->finished = true;
            } catch (const std::system_error&) {
                // Unpublished, the lookup stays pending: the run's deadline ends it, as it
                // ends one stuck on a dead name server.
            }
        }).detach();
    } catch (const std::system_error& e) {
        return FinishedLookup({{}, {NetError::OutOfResources, e.code().value()}});
    } catch (const std::bad_alloc&) {
        return FinishedLookup({{}, {NetError::OutOfResources, 0}});
    }
    return std::make_unique<PolledLookup>(std::move(state));
}

}  // namespace pelldor::platform
