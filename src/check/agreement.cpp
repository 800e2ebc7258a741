#include "check/agreement.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace pelldor::check {

Agreement Agree(const std::vector<Interval>& intervals) {
    assert(!intervals.empty());
    // Every interval's ends, starts before ends at one point, since the intervals are closed.
    struct End {
        std::int64_t at;
        int step;
    };
    std::vector<End> ends;
    for (const Interval& i : intervals) {
        ends.push_back({i.offsetNanos - i.distanceNanos, +1});
        ends.push_back({i.offsetNanos + i.distanceNanos, -1});
    }
    std::sort(ends.begin(), ends.end(), [](const End& a, const End& b) { return a.at != b.at ? a.at < b.at : a.step > b.step; });
    int crowd = 0, largest = 0, regions = 0;
    std::int64_t point = 0;
    for (const End& end : ends) {
        crowd += end.step;
        if (crowd > largest) {
            largest = crowd;
            regions = 1;
            point = end.at;
        } else if (crowd == largest && end.step > 0) {
            ++regions;
        }
    }
    Agreement agreement;
    agreement.majority = regions == 1 && 2 * static_cast<std::size_t>(largest) > intervals.size();
    // Summed as differences from one of them: small numbers, and exact when they are equal.
    const std::int64_t base = intervals.front().offsetNanos;
    long double weighted = 0, weights = 0;
    for (std::size_t i = 0; i < intervals.size(); ++i) {
        const Interval& interval = intervals[i];
        const bool holds = interval.offsetNanos - interval.distanceNanos <= point && point <= interval.offsetNanos + interval.distanceNanos;
        if (agreement.majority && !holds) {
            agreement.falsetickers.push_back(i);
            continue;
        }
        agreement.agreeing.push_back(i);
        // A distance of nothing would outweigh everything: a microsecond at least.
        const long double weight = 1.0L / std::max<std::int64_t>(interval.distanceNanos, 1000);
        weighted += weight * static_cast<long double>(interval.offsetNanos - base);
        weights += weight;
    }
    agreement.combinedNanos = base + static_cast<std::int64_t>(std::llround(weighted / weights));
    return agreement;
}

}  // namespace pelldor::check
