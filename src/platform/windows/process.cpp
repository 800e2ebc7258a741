#include <winsock2.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/native.h"
#include "platform/windows/roles.h"
#include "platform/windows/windows_text.h"

namespace pelldor::platform {
namespace windows {
namespace {

constexpr wchar_t kWindowName[] = L"frmPelldor";
// A run ended from outside, as a probe that failed ends.
constexpr int kStoppedStatus = 1;

// How long a reader that does not read may hold up a write to a standard stream.
constexpr DWORD kWritePatienceMs = 1000;

struct PendingWrite {
    HANDLE handle;
    std::string_view text;
};

// Writes all of the text, in a single call unless the system takes less.
DWORD WINAPI WriteWhole(void* pending) {
    auto& write = *static_cast<PendingWrite*>(pending);
    while (!write.text.empty()) {
        const DWORD chunk = write.text.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(write.text.size());
        DWORD written = 0;
        if (!::WriteFile(write.handle, write.text.data(), chunk, &written, nullptr) || written == 0) return 1;
        write.text.remove_prefix(written);
    }
    return 0;
}

// A GUI process has no console: its standard handles are whatever the caller redirected,
// or nothing, in which case the text goes nowhere. A pipe whose reader does not read would
// hold the write without end, so it is made on a thread of its own and given up after a
// second; a file or a console takes it at once, and is written directly.
void WriteStandard(DWORD which, std::string_view text) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    PendingWrite write{handle, text};
    if (::GetFileType(handle) != FILE_TYPE_PIPE) {
        (void)WriteWhole(&write);
        return;
    }
    const HANDLE writer = ::CreateThread(nullptr, 0, WriteWhole, &write, 0, nullptr);
    if (writer == nullptr) return;
    if (::WaitForSingleObject(writer, kWritePatienceMs) != WAIT_OBJECT_0) {
        ::CancelSynchronousIo(writer);
        ::WaitForSingleObject(writer, kWritePatienceMs);
    }
    ::CloseHandle(writer);
}

class WindowsProcess;
[[noreturn]] void Stop(WindowsProcess& process, const char* by);

// A close request (taskkill without /F, a script's WM_CLOSE) or the end of the session
// ends the run at once, logging nothing, as the process's stop says: a verdict that was
// never reached must not read as one.
LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* const process = reinterpret_cast<WindowsProcess*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (process != nullptr && message == WM_CLOSE) Stop(*process, "a close request");
    if (process != nullptr && (message == WM_QUERYENDSESSION || (message == WM_ENDSESSION && wParam))) {
        Stop(*process, "the end of the session");
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

HWND MakeHiddenWindow() {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowName;
    // A second machine in the same process (the unit tests) finds the class registered.
    if (::RegisterClassExW(&windowClass) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
    return ::CreateWindowExW(0, kWindowName, kWindowName, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
}

std::u16string CommandLine() {
    const wchar_t* line = ::GetCommandLineW();
    return line != nullptr ? std::u16string(line, line + ::wcslen(line)) : std::u16string();
}

// The process of a program with one hidden window, whose messages (close requests) are
// handled whenever the program dispatches them.
class WindowsProcess final : public Process {
public:
    WindowsProcess() : window_(MakeHiddenWindow()) {
        // Messages reach the procedure only when they are dispatched, by which time it is set.
        if (window_ != nullptr) ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~WindowsProcess() override {
        if (window_ != nullptr) ::DestroyWindow(window_);
    }
    WindowsProcess(const WindowsProcess&) = delete;
    WindowsProcess& operator=(const WindowsProcess&) = delete;

    std::string ProgramName() override {
        wchar_t path[MAX_PATH] = {};
        const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::string name = ToUtf8(std::u16string(path, path + length));
        name = name.substr(name.find_last_of("\\/") + 1);
        if (name.size() > 4 && _stricmp(name.c_str() + name.size() - 4, ".exe") == 0) name.resize(name.size() - 4);
        return name;
    }
    std::string CommandLineTail() override { return ToUtf8(windows::CommandLineTail(CommandLine())); }

    std::vector<std::string> Arguments() override {
        std::vector<std::string> arguments;
        for (const std::u16string& argument : SplitArguments(windows::CommandLineTail(CommandLine()))) {
            arguments.push_back(ToUtf8(argument));
        }
        return arguments;
    }

    std::size_t CommandLineLength(std::string_view tail) const override { return ToUtf16(tail).size(); }

    void WriteStandardOutput(std::string_view text) override { WriteStandard(STD_OUTPUT_HANDLE, text); }
    void WriteStandardError(std::string_view text) override { WriteStandard(STD_ERROR_HANDLE, text); }

    void DispatchSystemMessages() override {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }

    void SetStop(int status, std::string_view line) override {
        stopStatus_ = status;
        stopLine_ = line;
    }

    [[noreturn]] void Stopped(const char* by) {
        if (!stopLine_.empty()) WriteStandardOutput(stopLine_ + by + "\n");
        EndProcess(stopStatus_);
    }

private:
    HWND window_;
    int stopStatus_ = kStoppedStatus;
    std::string stopLine_;
};

void Stop(WindowsProcess& process, const char* by) { process.Stopped(by); }

}  // namespace
}  // namespace windows

bool PrepareProcess() {
    // Unattended: a fault or a missing disk must end the run with a status, never wait on
    // a dialog that nobody will see.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // The same for the C runtime: a GUI program's abort would otherwise hold its status
    // back behind a message box.
    (void)::_set_error_mode(_OUT_TO_STDERR);
    // Whatever a system library loads later by bare name comes from the system folder too.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return true;
}

Machine MakeNativeMachine(int /*argc*/, char** /*argv*/) {
    Machine machine;
    machine.process = std::make_unique<windows::WindowsProcess>();
    machine.clock = windows::MakeClock();
    machine.files = windows::MakeFiles(*machine.clock, *machine.process);
    machine.network = windows::MakeNetwork();
    return machine;
}

// Like _exit: a resolver thread still inside a lookup may hold locks that the orderly
// shutdown of the system's libraries would wait for.
void EndProcess(int status) {
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(status));
    ::ExitProcess(static_cast<UINT>(status));
}

}  // namespace pelldor::platform
