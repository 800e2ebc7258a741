#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <map>
#include <memory>
#include <string>

#include "support/process.h"

namespace pelldor::testing {

// One server per configuration for the whole test program, so a run of all tests in one
// process starts each only once; ctest's one-test-per-process runs pay one start per test.
// A start that failed is remembered too, and not tried again. The servers stop once all
// tests have run, while the test program is still whole.
template <typename Server>
class ServerPool : public ::testing::Environment {
public:
    struct Lease {
        Server* server = nullptr;
        std::string why{};  // when there is no server
        bool unavailable = false;
    };

    template <typename Options>
    static Lease Get(const std::string& key, const Options& options) {
        (void)registered_;
        if (auto it = servers_.find(key); it != servers_.end()) return {.server = it->second.get()};
        if (auto it = failures_.find(key); it != failures_.end()) return it->second;
        try {
            return {.server = servers_.emplace(key, std::make_unique<Server>(options)).first->second.get()};
        } catch (const Unavailable& e) {
            return failures_[key] = {nullptr, e.what(), true};
        } catch (const std::exception& e) {
            return failures_[key] = {nullptr, e.what(), false};
        }
    }

    void TearDown() override {
        servers_.clear();
        failures_.clear();
    }

private:
    static inline std::map<std::string, std::unique_ptr<Server>> servers_;
    static inline std::map<std::string, Lease> failures_;
    static const ::testing::Environment* const registered_;
};

template <typename Server>
const ::testing::Environment* const ServerPool<Server>::registered_ =
    ::testing::AddGlobalTestEnvironment(new ServerPool<Server>);

// Skips where the server cannot run, fails where it should run but does not start.
template <typename Server, typename Base = ::testing::Test>
class WithServer : public Base {
protected:
    template <typename Options>
    void Serve(const std::string& key, const Options& options) {
        const auto lease = ServerPool<Server>::Get(key, options);
        server_ = lease.server;
        if (server_ != nullptr) return;
        if (lease.unavailable) GTEST_SKIP() << lease.why;
        FAIL() << lease.why;
    }

    Server* server_ = nullptr;
};

}  // namespace pelldor::testing
