#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/windows/roles.h"

namespace pelldor::platform::windows {
namespace {

// FILETIME counts 100 ns ticks from 1601-01-01 UTC.
constexpr std::uint64_t kFileTimeAt1970 = 116'444'736'000'000'000ULL;
constexpr std::uint64_t kTicksPerSecond = 10'000'000;
// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, which these headers (for Windows 8) lack.
constexpr DWORD kHighResolutionTimer = 0x2;
// The longest single wait; the caller waits again for what is left.
constexpr std::int64_t kLongestWait = 3600 * kNanosPerSecond;

class WindowsClock final : public Clock {
public:
    WindowsClock() {
        LARGE_INTEGER frequency{};
        if (::QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) counterFrequency_ = frequency.QuadPart;
        // The default timer ticks every 15.6 ms, which would stretch each 10 ms step of a
        // pause to 15.6 ms: a second's pause to more than 1.5 s, and the 20 ms poll of a
        // healthy server to 31 ms. A high-resolution timer (Windows 10 1803 on) keeps the
        // steps at 10 ms for this process alone, and unlike a raised system timer rate it
        // is still honoured for a process whose windows are all hidden. Without one, the
        // system's rate is raised to 1 ms for the life of the process; best effort.
        timer_ = ::CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
        if (timer_ == nullptr) {
            const auto begin = reinterpret_cast<UINT(WINAPI*)(UINT)>(SystemFunction(L"winmm.dll", "timeBeginPeriod"));
            if (begin != nullptr) (void)begin(1);
        }
    }
    ~WindowsClock() override {
        if (timer_ != nullptr) ::CloseHandle(timer_);
    }
    WindowsClock(const WindowsClock&) = delete;
    WindowsClock& operator=(const WindowsClock&) = delete;

    WallReading ReadWallClock() override {
        FILETIME now{};
        ::GetSystemTimePreciseAsFileTime(&now);
        const std::uint64_t ticks = (std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime) - kFileTimeAt1970;
        WallReading reading;
        reading.utc = {static_cast<std::int64_t>(ticks / kTicksPerSecond),
                       static_cast<std::uint32_t>(ticks % kTicksPerSecond * 100)};
        SYSTEMTIME utc{};
        SYSTEMTIME local{};
        if (::FileTimeToSystemTime(&now, &utc) && ::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
            reading.local.year = local.wYear;
            reading.local.month = local.wMonth;
            reading.local.day = local.wDay;
            reading.local.hour = local.wHour;
            reading.local.minute = local.wMinute;
            // A leap second shows as :60 where the system keeps them; the naive calendar
            // has no room for it.
            reading.local.second = local.wSecond > 59 ? 59 : local.wSecond;
        }
        return reading;
    }

    std::int64_t MonotonicNanos() override {
        LARGE_INTEGER count{};
        ::QueryPerformanceCounter(&count);
        const std::int64_t whole = count.QuadPart / counterFrequency_;
        const std::int64_t rest = count.QuadPart % counterFrequency_;
        return whole * kNanosPerSecond + rest * kNanosPerSecond / counterFrequency_;
    }

    // Waits on the high-resolution timer, the sockets' events and the thread's messages at
    // once: a datagram or a close request ends the wait at once, and the deadline is kept
    // to well under a millisecond (a plain timeout would keep it to the system's 15.6 ms).
    void WaitUntil(std::int64_t until, std::span<Channel* const> watched) override {
        const std::int64_t left = until == kNever ? kNever : until - MonotonicNanos();
        if (left <= 0) return;
        const std::int64_t most = std::min(left, kLongestWait);
        handles_.clear();
        DWORD timeout = static_cast<DWORD>((most + 999'999) / 1'000'000);
        if (timer_ != nullptr) {
            LARGE_INTEGER due{};
            due.QuadPart = -std::max<std::int64_t>(most / 100, 1);  // relative, in 100 ns ticks
            if (::SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) {
                handles_.push_back(timer_);
                timeout = INFINITE;
            }
        }
        for (Channel* channel : watched) {
            if (void* event = ReadableEvent(*channel); event != nullptr && handles_.size() < kMostHandles) {
                handles_.push_back(event);
            }
        }
        (void)::MsgWaitForMultipleObjectsEx(static_cast<DWORD>(handles_.size()), handles_.data(), timeout,
                                            QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (timer_ != nullptr) ::CancelWaitableTimer(timer_);
    }

private:
    // What one wait can watch besides the messages.
    static constexpr std::size_t kMostHandles = MAXIMUM_WAIT_OBJECTS - 1;

    HANDLE timer_ = nullptr;
    std::int64_t counterFrequency_ = 1;
    std::vector<HANDLE> handles_;
};

}  // namespace

std::unique_ptr<Clock> MakeClock() { return std::make_unique<WindowsClock>(); }

}  // namespace pelldor::platform::windows
