#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/fake_platform.h"

namespace pelldor::testing {

// The fake platform installed for one unit test: a use the test did not script fails it.
class TestPlatform : public ScopedFakePlatform {
public:
    TestPlatform() : ScopedFakePlatform([](const std::string& what) { ADD_FAILURE() << what; }) {}
};

}  // namespace pelldor::testing
