#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dropin/run_driver.h"
#include "foundation/run_state.h"
#include "platform/time_math.h"
#include "support/fake_time_client.h"
#include "support/test_platform.h"
#include "timequery/net_clock.h"

namespace pelldor::testing {

// A zeroed run on the virtual platform with a scripted time client bound as netClock.
class RunFixture : public ::testing::Test {
protected:
    RunFixture() {
        runState = RunState{};
        timequery::frmPelldor = timequery::FrmPelldor{};
        timequery::BindNetClock(client);
    }
    ~RunFixture() override {
        runState = RunState{};
        timequery::frmPelldor = timequery::FrmPelldor{};
    }

    // The switch file as it would be at start; SwitchTest turns logging on from it.
    void CreateSwitchFile(const std::string& content = "") { os->files[os->LogPath()] = content; }

    // Runs the driver to its end and reports how the process ended.
    ProcessEnd RunToEnd() {
        try {
            RunDriver();
        } catch (const ProcessEnd& end) {
            return end;
        }
    }

    // The log with each line's leading timestamp checked and replaced by "@", so whole
    // logs compare as literal lists.
    std::vector<std::string> Log() const {
        std::vector<std::string> out;
        for (const std::string& line : (*os).LogLines()) {
            if (line.empty()) {
                out.push_back(line);
                continue;
            }
            const bool stamped = line.size() >= 19 && platform::ParseTimestamp(line.substr(0, 19));
            EXPECT_TRUE(stamped) << "line without timestamp: " << line;
            out.push_back(stamped ? std::string("@").append(line, 19) : line);
        }
        return out;
    }

    TestPlatform os;
    FakeTimeClient client{*os};
};

}  // namespace pelldor::testing
