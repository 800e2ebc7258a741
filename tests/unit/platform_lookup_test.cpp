#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/background_lookup.h"
#include "support/polling.h"

namespace pelldor::platform {
namespace {

// An error escaping the resolver's thread would end the process through abort, which on
// Windows can mean a message box waiting for a click; on the caller's thread it would end
// the run as unhandled. Either way it is a lookup that failed.
TEST(BackgroundLookup, AResolverThatThrowsGivesAFailedLookup) {
    struct Case {
        const char* what;
        std::function<void()> raise;
        NetError kind;
    };
    const std::vector<Case> cases{
        {"out of memory", [] { throw std::bad_alloc(); }, NetError::OutOfResources},
        {"a library's error", [] { throw std::runtime_error("resolver"); }, NetError::Other},
        {"not even an exception", [] { throw 7; }, NetError::Other},
    };
    for (const Case& c : cases) {
        for (const bool onItsThread : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (onItsThread ? ", on the resolver's thread" : ", numeric first"));
            const Resolver resolve = [raise = c.raise, onItsThread](const std::string&, std::uint16_t,
                                                                     bool numericOnly) -> LookupOutcome {
                if (numericOnly && onItsThread) return {{}, {NetError::NameNotFound, 0}};
                raise();
                return {};
            };
            const auto lookup = StartNameLookup("name.test", 123, resolve, {NetError::NameNotFound, 0});
            ASSERT_EQ(testing::AwaitLookup(*lookup), LookupStatus::Failed);
            EXPECT_EQ(lookup->Failure().kind, c.kind);
            EXPECT_TRUE(lookup->Addresses().empty());
        }
    }
}

}  // namespace
}  // namespace pelldor::platform
