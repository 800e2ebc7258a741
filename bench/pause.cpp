// How long the program's own Pause(1000) takes on the native platform: prints the
// monotonic milliseconds of each of COUNT pauses (default 5), one a line.
#include <cstdio>
#include <cstdlib>

#include "platform/native.h"
#include "run/run_state.h"

int main(int argc, char** argv) {
    const auto os = pelldor::platform::MakeNativePlatform(argc, argv);
    pelldor::platform::Install(os.get());
    const int count = argc > 1 ? std::atoi(argv[1]) : 5;
    for (int i = 0; i < count && i < 100; ++i) {
        const auto start = os->MonotonicNanos();
        pelldor::Pause(1000);
        std::printf("%.3f\n", static_cast<double>(os->MonotonicNanos() - start) / 1e6);
    }
    std::fflush(stdout);
    return 0;
}
