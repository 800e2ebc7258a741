// How long the program's own Pause(1000) takes on the native platform: prints the
// monotonic milliseconds of each of COUNT pauses (default 5), one a line.
#include <cstdio>
#include <cstdlib>

#include "foundation/run_state.h"
#include "platform/native.h"

int main(int argc, char** argv) {
    const auto os = pelldor::platform::MakeNativePlatform(argc, argv);
    pelldor::BindPlatform(os.get());
    const int count = argc > 1 ? std::atoi(argv[1]) : 5;
    for (int i = 0; i < count && i < 100; ++i) {
        const auto start = os->MonotonicNanos();
        pelldor::Pause(1000);
        std::printf("%.3f\n", static_cast<double>(os->MonotonicNanos() - start) / 1e6);
    }
    std::fflush(stdout);
    return 0;
}
