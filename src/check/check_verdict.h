#pragma once

#include <cstdint>
#include <string>
#include <optional>
#include <string_view>
#include <vector>

#include "exchange/exchange.h"

// What `pelldor check` concludes: a state for each measure of each server, a state for the
// servers together, and the worst of them.
namespace pelldor::check {

// The plugin's states, which are its exit statuses, in the order of their weight but for
// UNKNOWN, which the plugins weigh between WARNING and CRITICAL.
enum class State { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

// The worse of two states: CRITICAL, then UNKNOWN, then WARNING, then OK.
[[nodiscard]] State Worse(State a, State b);
[[nodiscard]] std::string_view StateName(State state);

// A threshold as the plugins' ranges give it: the values from start to end, inclusive.
struct Range {
    double start = 0;
    double end = 0;
    bool inside = false;  // "@": the values inside alert, not those outside
    std::string text;     // for the performance data, in its grammar
};

// Whether the value sets off the threshold: outside the range, or inside it with "@".
[[nodiscard]] bool Alerts(const Range& range, double value);

// One measure judged, or one reason: its state and a few words for a person.
struct Subcheck {
    State state = State::Ok;
    std::string text;
};

// What authenticated time adds to a server's result.
struct NtsFacts {
    std::string keFailure;  // why the key exchange gave no keys; empty when it did
    bool keFailureOurOwn = false;
    std::optional<std::int64_t> keNanos;
    std::optional<std::int64_t> exchangeNanos;
    std::optional<double> certificateDays;  // left on the server's certificate, below 0 when expired
};

// What one server gave, judged on its own.
struct ServerVerdict {
    std::string name;  // as the command line named it, or its address
    exchange::Result result;
    State state = State::Ok;  // the worst of its subchecks
    // Its reply first (the time, or why there was none), then the measures that have
    // thresholds, then what it says of itself (a leap second).
    std::vector<Subcheck> subchecks;
    bool falseticker = false;
    std::optional<NtsFacts> nts;
};

struct Verdict {
    State state = State::Ok;
    // The offset judged (of the one server, or the agreeing servers combined), and for
    // several servers their agreement.
    std::vector<Subcheck> overall;
    std::vector<ServerVerdict> servers;
    std::optional<std::int64_t> offsetNanos;  // as judged, the time offset added
    int agreeing = 0;
};

struct CheckOptions;

// A server's result and the name it goes by.
struct Answer {
    std::string name;
    exchange::Result result;
    std::optional<NtsFacts> nts;
};

// The rules, in one place: each server's reply and measures against the thresholds given,
// the servers' agreement, and the offset of the one server or of those that agree.
[[nodiscard]] Verdict Judge(std::vector<Answer> answers, const CheckOptions& options);

}  // namespace pelldor::check
