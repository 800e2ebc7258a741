#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <vector>

#include "platform/linux/roles.h"

namespace pelldor::platform::linux_os {
namespace {

std::int64_t Now(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

class LinuxClock final : public Clock {
public:
    explicit LinuxClock(int stopSignals) : stopSignals_(stopSignals) {}

    WallReading ReadWallClock() override {
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        WallReading reading;
        reading.utc = {ts.tv_sec, static_cast<std::uint32_t>(ts.tv_nsec)};
        const time_t seconds = ts.tv_sec;
        tm fields{};
        if (::localtime_r(&seconds, &fields) != nullptr) {
            reading.local.year = fields.tm_year + 1900;
            reading.local.month = fields.tm_mon + 1;
            reading.local.day = fields.tm_mday;
            reading.local.hour = fields.tm_hour;
            reading.local.minute = fields.tm_min;
            // A leap second shows as :60 here; the naive calendar has no room for it.
            reading.local.second = fields.tm_sec > 59 ? 59 : fields.tm_sec;
        }
        return reading;
    }

    std::int64_t MonotonicNanos() override { return Now(CLOCK_MONOTONIC); }

    void WaitUntil(std::int64_t until, std::span<Channel* const> watched) override {
        watched_.clear();
        // A stop signal ends the wait, so that it is handled at once.
        if (stopSignals_ >= 0) watched_.push_back({stopSignals_, POLLIN, 0});
        for (Channel* channel : watched) {
            if (const Watch watch = WatchOf(*channel); watch.fd >= 0) watched_.push_back({watch.fd, watch.events, 0});
        }
        const std::int64_t left = until == kNever ? kNever : until - MonotonicNanos();
        if (left <= 0) return;
        // A wait without a deadline is bounded all the same; the caller waits again.
        const std::int64_t most = std::min<std::int64_t>(left, 3600 * kNanosPerSecond);
        const timespec span{static_cast<time_t>(most / kNanosPerSecond), static_cast<long>(most % kNanosPerSecond)};
        (void)::ppoll(watched_.data(), watched_.size(), &span, nullptr);
    }

private:
    int stopSignals_;
    std::vector<pollfd> watched_;
};

}  // namespace

std::unique_ptr<Clock> MakeClock(int stopSignals) { return std::make_unique<LinuxClock>(stopSignals); }

}  // namespace pelldor::platform::linux_os
