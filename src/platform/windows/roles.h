#pragma once

#include <memory>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/network.h"
#include "platform/process.h"

// The Windows machine's roles, for the one function that puts them together, and what
// they must know of one another.
namespace pelldor::platform::windows {

// The event that is set when one of this machine's channels has something to receive;
// null for a channel of another kind.
[[nodiscard]] void* ReadableEvent(const Channel& channel);

// A function of a DLL that is no KnownDLL, from the system folder alone: imported
// statically, or loaded by name, such a DLL is looked for first in the program's own
// folder, which must be writable for the log switch. Null when it cannot be had.
[[nodiscard]] void* SystemFunction(const wchar_t* dll, const char* name);

[[nodiscard]] std::unique_ptr<Clock> MakeClock();
// The files wait for a log held by another program in the clock's steps, answering the
// process's messages meanwhile.
[[nodiscard]] std::unique_ptr<Files> MakeFiles(Clock& clock, Process& process);
[[nodiscard]] std::unique_ptr<Network> MakeNetwork();

}  // namespace pelldor::platform::windows
