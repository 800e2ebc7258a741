#include <string>
#include <vector>

#include "check/check_run.h"
#include "foundation/loop.h"
#include "nts/service.h"
#include "platform/native.h"

// The plugin with authenticated time, which `pelldor check --nts` hands its run to: the
// one program that loads the TLS library. Its arguments are the plugin's.
int main(int argc, char** argv) {
    using namespace pelldor;
    if (!platform::PrepareProcess()) platform::EndProcess(3);
    platform::Machine machine = platform::MakeNativeMachine(argc, argv);
    Loop loop(*machine.clock, *machine.process);
    const check::AuthenticatedTime authenticated = [&](const std::vector<nts::Target>& targets) {
        return nts::Run(*machine.clock, *machine.network, loop, targets);
    };
    const std::vector<std::string> args = machine.process->Arguments();
    const int status = check::RunCheck(*machine.process, *machine.clock, *machine.network, loop, args, &authenticated);
    platform::EndProcess(status == check::kNeedsAuthenticatedTime ? 3 : status);
}
