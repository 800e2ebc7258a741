#pragma once

#include <cstdio>
#include <cstdlib>

namespace pelldor::fuzz {

// A broken invariant: the reason goes to standard error, and the abort makes libFuzzer
// keep the input as a crash.
inline void Check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "pelldor fuzz invariant broken: %s\n", what);
    std::abort();
}

}  // namespace pelldor::fuzz
