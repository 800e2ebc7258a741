#include "dropin/run_driver.h"

#include <exception>
#include <optional>
#include <string>

#include "dropin/argument_reader.h"
#include "dropin/error_notice.h"
#include "dropin/server_check.h"
#include "dropin/sntp_client.h"
#include "exchange/exchange.h"
#include "foundation/help_text.h"
#include "foundation/text.h"

namespace pelldor::dropin {
namespace {

// What the program prints when the whole command line asks for its version or its usage;
// nothing for any other command line, which is a run.
std::optional<std::string> InformationFor(std::string_view tail, const std::string& logPath) {
    if (tail == "--version") return VersionText();
    if (tail == "--help") return DropInHelp(logPath);
    return std::nullopt;
}

// netClock's notifications reach netClock_Error with this run's state while it lasts.
class Binding {
public:
    Binding(FrmPelldor& form, const RunState& state) : client_(form.netClock) {
        client_.OnError([&form, &state](std::int16_t code, const std::string& text) {
            netClock_Error(form, state, code, text);
        });
    }
    ~Binding() { client_.OnError({}); }
    Binding(const Binding&) = delete;
    Binding& operator=(const Binding&) = delete;

private:
    TimeClient& client_;
};

}  // namespace

RunEnd RunDriver(FrmPelldor& form) {
    RunState state;
    const Binding binding(form, state);
    try {
        SwitchTest(form.log, state);
        if (!ReadArguments(form.process, form.log, form.pacer, state)) return {};
        if (state.ServerCount == 0) {
            form.pacer.Pause(1000);
            return {};
        }
        for (state.ServerIndex = 1; state.ServerIndex <= state.ServerCount;
             state.ServerIndex = CheckedAdd16(state.ServerIndex, 1)) {
            CheckNtpStatus(form, state, state.ServerIndex);
        }
        std::int16_t result = 0;
        for (state.ServerIndex = 1; state.ServerIndex <= state.ServerCount;
             state.ServerIndex = CheckedAdd16(state.ServerIndex, 1)) {
            result = CheckedAdd16(result, state.Servers(state.ServerIndex).Status);
        }
        if (Logging(state)) {
            form.log.WriteLogLine({logline::Result(form.log, result)});
            form.pacer.Pause(500);
        }
        return {RunEnd::Way::Exit, result, {}};
    } catch (const RunEnded& ended) {
        return ended.end;
    } catch (const std::exception& e) {
        return {RunEnd::Way::Unhandled, 1, e.what()};
    }
}

int RunDropIn(platform::Process& process, platform::Clock& clock, platform::Files& files, platform::Network& network,
              Loop& loop) {
    RunEnd end;
    try {
        DebugLog log(files, clock);
        if (const auto text = InformationFor(process.CommandLineTail(), log.Path())) {
            process.WriteStandardOutput(*text);
            return 0;
        }
        Pacer pacer(loop);
        exchange::Client client(clock, network, loop);
        SntpClient netClock(client, pacer);
        FrmPelldor form{process, log, pacer, netClock};
        end = RunDriver(form);
    } catch (const std::exception& e) {
        end = {RunEnd::Way::Unhandled, 1, e.what()};
    }
    if (end.way == RunEnd::Way::Unhandled) {
        // Never a status that could read as a verdict; the line stays one line whatever
        // the text it carries, a folder's name say.
        process.WriteStandardError("pelldor: unhandled error: " + Printable(end.message) + "\n");
        return 1;
    }
    return end.way == RunEnd::Way::Exit ? end.status : 0;
}

}  // namespace pelldor::dropin
