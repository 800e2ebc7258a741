#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "dropin/debug_log.h"
#include "dropin/error_notice.h"
#include "dropin/run_driver.h"
#include "dropin/run_error.h"
#include "dropin/run_state.h"
#include "foundation/time_math.h"
#include "support/fake_machine.h"
#include "support/fake_time_client.h"

namespace pelldor::testing {

// The fake machine for one unit test: a use the test did not script fails it.
struct TestMachine : FakeMachine {
    TestMachine() : FakeMachine([](const std::string& what) { ADD_FAILURE() << what; }) {}
};

// The error of the run that `f` throws, if any, for a test to read its kind and text.
template <typename F>
std::optional<dropin::RunError> ErrorOf(F&& f) {
    try {
        f();
    } catch (const dropin::RunError& e) {
        return e;
    }
    return std::nullopt;
}

// A drop-in run on the virtual machine: a fresh run state, and a scripted time client as
// netClock on the form, bound to netClock_Error as the driver binds it.
class RunFixture : public ::testing::Test {
protected:
    RunFixture() {
        client.OnError([this](std::int16_t code, const std::string& text) {
            dropin::netClock_Error(form, state, code, text);
        });
    }

    // The switch file as it would be at start; SwitchTest turns logging on from it.
    void CreateSwitchFile(const std::string& content = "") { m.files.files[m.files.LogPath()] = content; }
    // Logging on, as SwitchTest leaves it when it finds the switch file.
    void LogOn() {
        CreateSwitchFile();
        state.DebugOn = dropin::kTrue16;
    }

    // Runs the driver to its end and reports how the run ended.
    dropin::RunEnd RunToEnd() { return dropin::RunDriver(form); }

    // The log with each line's leading timestamp checked and replaced by "@", so whole
    // logs compare as literal lists.
    std::vector<std::string> Log() const {
        std::vector<std::string> out;
        for (const std::string& line : m.files.LogLines()) {
            const bool stamped = line.size() >= 19 && ParseTimestamp(line.substr(0, 19));
            EXPECT_TRUE(stamped || line.empty()) << "line without timestamp: " << line;
            out.push_back(stamped ? std::string("@").append(line, 19) : line);
        }
        return out;
    }

    TestMachine m;
    dropin::Pacer pacer{m.loop};
    dropin::DebugLog log{m.files, m.clock};
    FakeTimeClient client{m.clock, pacer, m.loop};
    dropin::FrmPelldor form{m.process, log, pacer, client};
    dropin::RunState state;
};

}  // namespace pelldor::testing
