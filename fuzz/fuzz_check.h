#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace pelldor::fuzz {

// A broken invariant: the reason goes to standard error, and the abort makes libFuzzer
// keep the input as a crash.
inline void Check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "pelldor fuzz invariant broken: %s\n", what);
    std::abort();
}

// The fake platform's hook for a use of the machine that the target did not script.
inline void UnexpectedUse(const std::string& what) { Check(false, what.c_str()); }

}  // namespace pelldor::fuzz
