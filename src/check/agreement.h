#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Which servers agree on the time, and what they agree on: the intersection of their
// correctness intervals, in the spirit of Marzullo's algorithm as NTP selects its peers.
namespace pelldor::check {

// A server's offset, give or take its root distance (the server's own, root delay / 2 +
// root dispersion, and half the round trip of this exchange): the true time lies within.
struct Interval {
    std::int64_t offsetNanos = 0;
    std::int64_t distanceNanos = 0;
};

struct Agreement {
    // A majority: more than half of the servers share one point of their intervals, and no
    // other crowd as large shares another.
    bool majority = false;
    // By index. With a majority, those whose interval holds that point, and the others;
    // without one, every server is in `agreeing` and none is named.
    std::vector<std::size_t> agreeing;
    std::vector<std::size_t> falsetickers;
    // The agreeing servers' offsets combined, each weighted by the inverse of its distance,
    // as NTP combines its survivors.
    std::int64_t combinedNanos = 0;
};

// For at least one interval.
[[nodiscard]] Agreement Agree(const std::vector<Interval>& intervals);

}  // namespace pelldor::check
