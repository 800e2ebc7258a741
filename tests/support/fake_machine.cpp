#include "support/fake_machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>


namespace pelldor::testing {

void ReportUnexpected(const UnexpectedUse& report, const std::string& what) {
    if (report) {
        report(what);
        return;
    }
    std::fprintf(stderr, "fake machine: %s\n", what.c_str());
    std::abort();
}

void FakeClock::WaitUntil(std::int64_t until, std::span<platform::Channel* const> watched) {
    std::int64_t wake = until;
    for (const platform::Channel* channel : watched) {
        const auto at = arrival ? arrival(*channel) : std::nullopt;
        if (!at && !arrival) ReportUnexpected(onUnexpected, "a wait on a channel of no fake network");
        if (at) wake = std::min(wake, *at);
    }
    if (wake <= monotonicNanos) return;
    const std::int64_t step = std::min(wake - monotonicNanos, kLongestWait);
    Advance(step);
    ++waits;
    waitedNanos += step;
    if (onWait) onWait();
}

platform::Appended FakeFiles::AppendToFile(const std::string& path, std::string_view text) {
    ++appendCalls;
    if (heldAppends.count(path) != 0) return {platform::Appended::Status::PassedOver, "File in use by another process"};
    if (appendsLeft == 0 || failingAppends.count(path) != 0 || directories.count(path) != 0 || unsafe.count(path) != 0) {
        return {platform::Appended::Status::Failed, "Permission denied"};
    }
    if (appendsLeft > 0) --appendsLeft;
    files[path].append(text);
    return {};
}

std::vector<std::string> FakeFiles::LogLines() const {
    std::vector<std::string> lines;
    const auto it = files.find(LogPath());
    const std::string text = it == files.end() ? "" : it->second;
    for (std::size_t start = 0, end = 0; start < text.size(); start = end + 2) {
        end = text.find("\r\n", start);
        if (end == std::string::npos) {
            ReportUnexpected(onUnexpected, "log ends without CR LF: " + text.substr(start));
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

}  // namespace pelldor::testing
