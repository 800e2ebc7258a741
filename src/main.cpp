#include <span>
#include <string>
#include <vector>

#include "check/check_run.h"
#include "dropin/run_driver.h"
#include "foundation/loop.h"
#include "platform/native.h"

namespace {

// The plugin's --nts runs in the program that carries the TLS library, beside this one,
// so that no other run pays for loading it. Returns only when that cannot be run, with
// the line to end on.
std::string HandOver(pelldor::platform::Machine& machine, const std::vector<std::string>& args) {
    const std::string helper = machine.files->ExecutableDirectory() + machine.files->PathSeparator() + "pelldor-nts";
    (void)machine.process->ReplaceWith(helper, args);
    return pelldor::check::WithoutAuthenticatedTime();
}

}  // namespace

// The program's entry, and the one place that ends its process: it makes the machine and
// the loop, and hands them to the mode the command line asks for.
int main(int argc, char** argv) {
    using namespace pelldor;
    // A run that could not be made safe ends as a probe that failed.
    if (!platform::PrepareProcess()) platform::EndProcess(1);
    platform::Machine machine = platform::MakeNativeMachine(argc, argv);
    Loop loop(*machine.clock, *machine.process);
    // The drop-in always took "check" as a timeout that is no number, an argument error,
    // so the word is free to select the plugin; so does a name like the plugins' own, the
    // check_pelldor link in the plugins' folder.
    const std::vector<std::string> arguments = machine.process->Arguments();
    const bool byName = machine.process->ProgramName().starts_with("check_");
    if (byName || (!arguments.empty() && arguments.front() == "check")) {
        const std::vector<std::string> args(arguments.begin() + (byName ? 0 : 1), arguments.end());
        const int status = check::RunCheck(*machine.process, *machine.clock, *machine.network, loop, args);
        if (status != check::kNeedsAuthenticatedTime) platform::EndProcess(status);
        machine.process->WriteStandardOutput(HandOver(machine, args));
        platform::EndProcess(3);
    }
    platform::EndProcess(
        dropin::RunDropIn(*machine.process, *machine.clock, *machine.files, *machine.network, loop));
}
