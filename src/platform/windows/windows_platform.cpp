#include <winsock2.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/native.h"
#include "platform/windows/windows_net.h"
#include "platform/windows/windows_text.h"

namespace pelldor::platform {
namespace {

using windows::ToUtf16;
using windows::ToUtf8;

constexpr wchar_t kWindowName[] = L"frmPelldor";
// FILETIME counts 100 ns ticks from 1601-01-01 UTC.
constexpr std::uint64_t kFileTimeAt1970 = 116'444'736'000'000'000ULL;
constexpr std::uint64_t kTicksPerSecond = 10'000'000;
// A run ended from outside, as a probe that failed ends.
constexpr int kStoppedStatus = 1;
// Of 10 ms each, for a log that another program holds without sharing it.
constexpr int kLockedLogWaits = 100;
// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, which these headers (for Windows 8) lack.
constexpr DWORD kHighResolutionTimer = 0x2;

std::wstring Wide(std::u16string_view text) { return {text.begin(), text.end()}; }

std::wstring WidePath(const std::string& path) { return Wide(windows::LongPathForm(ToUtf16(path))); }

std::uint64_t Ticks(const FILETIME& time) {
    return std::uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime;
}

// Writes all of the text, in a single call unless the system takes less.
DWORD WriteAll(HANDLE file, std::string_view text, std::uint64_t* taken = nullptr) {
    while (!text.empty()) {
        const DWORD chunk = text.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(text.size());
        DWORD written = 0;
        const bool done = ::WriteFile(file, text.data(), chunk, &written, nullptr);
        if (taken != nullptr) *taken += written;
        if (!done) return ::GetLastError();
        if (written == 0) return ERROR_WRITE_FAULT;
        text.remove_prefix(written);
    }
    return ERROR_SUCCESS;
}

// Probes appending at once take turns through a lock on one byte far past any end the log
// will reach: Windows' byte locks are mandatory, so none may cover what appends write.
bool LockForAppend(HANDLE file, OVERLAPPED& at) {
    at = {};
    at.Offset = 0xFFFFFFFE;
    at.OffsetHigh = 0x7FFFFFFF;
    for (int tries = 0; !::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at); ++tries) {
        // A file system without such locks still takes the entry.
        if (::GetLastError() != ERROR_LOCK_VIOLATION) return true;
        if (tries == 1000) return false;
        ::Sleep(1);
    }
    return true;
}

// An entry the disk or a quota took only part of is cut back off while nothing has
// followed it, so that the log keeps whole entries. The append handle cannot move the end
// of the file, so a second one does.
void CutBack(const std::wstring& path, HANDLE file, std::uint64_t written) {
    LARGE_INTEGER end{};
    LARGE_INTEGER size{};
    if (written == 0 || !::SetFilePointerEx(file, {}, &end, FILE_CURRENT) || !::GetFileSizeEx(file, &size) ||
        size.QuadPart != end.QuadPart || static_cast<std::uint64_t>(end.QuadPart) < written) {
        return;
    }
    const HANDLE writer = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (writer == INVALID_HANDLE_VALUE) return;
    FILE_END_OF_FILE_INFO cut{};
    cut.EndOfFile.QuadPart = end.QuadPart - static_cast<LONGLONG>(written);
    (void)::SetFileInformationByHandle(writer, FileEndOfFileInfo, &cut, sizeof cut);
    ::CloseHandle(writer);
}

// A GUI process has no console: its standard handles are whatever the caller redirected,
// or nothing, in which case the text goes nowhere.
void WriteStandard(DWORD which, std::string_view text) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) (void)WriteAll(handle, text);
}

// A close request (taskkill without /F, a script's WM_CLOSE) or the end of the session
// ends the run at once, logging nothing, with the status of a probe that failed: a verdict
// that was never reached must not read as one.
LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const bool stop = message == WM_CLOSE || message == WM_QUERYENDSESSION || (message == WM_ENDSESSION && wParam);
    auto* const platform = reinterpret_cast<Platform*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (stop && platform != nullptr) platform->ExitProcess(kStoppedStatus);
    return ::DefWindowProcW(window, message, wParam, lParam);
}

HWND MakeHiddenWindow(Platform* platform) {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowName;
    // A second platform in the same process (the unit tests) finds the class registered.
    if (::RegisterClassExW(&windowClass) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
    const HWND window = ::CreateWindowExW(0, kWindowName, kWindowName, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance,
                                          nullptr);
    // Messages from outside reach the procedure only when events are delivered, by which
    // time it is set.
    if (window != nullptr) ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(platform));
    return window;
}

// A function of a DLL that is no KnownDLL, from the system folder alone: imported
// statically, or loaded by name, such a DLL is looked for first in the program's own
// folder, which must be writable for the log switch. Null when it cannot be had.
template <typename Function>
Function SystemFunction(const wchar_t* dll, const char* name) {
    const HMODULE module = ::LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Raises the system timer to 1 ms for the life of the process on systems without a
// high-resolution waitable timer; best effort.
void RaiseTimerRate() {
    const auto begin = SystemFunction<UINT(WINAPI*)(UINT)>(L"winmm.dll", "timeBeginPeriod");
    if (begin != nullptr) (void)begin(1);
}

// The platform on Windows 8 and later.
class WindowsPlatform final : public Platform {
public:
    WindowsPlatform();
    ~WindowsPlatform() override;
    WindowsPlatform(const WindowsPlatform&) = delete;
    WindowsPlatform& operator=(const WindowsPlatform&) = delete;

    WallReading ReadWallClock() override;
    std::int64_t MonotonicNanos() override;
    void Sleep(int milliseconds) override;

    std::string ExecutableDirectory() override;
    char PathSeparator() const override { return '\\'; }
    std::string CommandLineTail() override;
    std::vector<std::string> Arguments() override;
    std::size_t CommandLineLength(std::string_view tail) const override { return ToUtf16(tail).size(); }

    bool IsRegularFile(const std::string& path) override;
    std::string AppendToFile(const std::string& path, std::string_view text) override;

    std::uint64_t Random64() override;
    std::unique_ptr<NameLookup> StartLookup(const std::string& host, std::uint16_t port) override {
        return StartResolverLookup(host, port, winsockError_);
    }
    OpenResult OpenUdp(const NetAddress& peer) override { return OpenConnectedUdp(peer, winsockError_); }

    void WriteStandardOutput(std::string_view text) override { WriteStandard(STD_OUTPUT_HANDLE, text); }
    void WriteStandardError(std::string_view text) override { WriteStandard(STD_ERROR_HANDLE, text); }

protected:
    void DispatchSystemMessages() override;
    void Terminate(EndWay way, int status) override;

private:
    HWND window_ = nullptr;
    HANDLE timer_ = nullptr;
    int winsockError_ = 0;
    std::int64_t counterFrequency_ = 1;
};

}  // namespace

std::unique_ptr<Platform> MakeNativePlatform(int /*argc*/, char** /*argv*/) {
    // Unattended: a fault or a missing disk must end the run with a status, never wait on
    // a dialog that nobody will see.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // The same for the C runtime: a GUI program's abort would otherwise hold its status
    // back behind a message box.
    (void)::_set_error_mode(_OUT_TO_STDERR);
    // Whatever a system library loads later by bare name comes from the system folder too.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return std::make_unique<WindowsPlatform>();
}

WindowsPlatform::WindowsPlatform() {
    LARGE_INTEGER frequency{};
    if (::QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) counterFrequency_ = frequency.QuadPart;
    // The default timer ticks every 15.6 ms, which would stretch each 10 ms sleep of a
    // pause to 15.6 ms: a second's pause to more than 1.5 s, and the 20 ms poll of a
    // healthy server to 31 ms. A high-resolution timer (Windows 10 1803 on) keeps the
    // sleeps at 10 ms for this process alone, and unlike a raised system timer rate it is
    // still honoured for a process whose windows are all hidden.
    timer_ = ::CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
    if (timer_ == nullptr) RaiseTimerRate();
    window_ = MakeHiddenWindow(this);
    WSADATA data{};
    winsockError_ = ::WSAStartup(MAKEWORD(2, 2), &data);
}

WindowsPlatform::~WindowsPlatform() {
    if (winsockError_ == 0) ::WSACleanup();
    if (window_ != nullptr) ::DestroyWindow(window_);
    if (timer_ != nullptr) ::CloseHandle(timer_);
}

void WindowsPlatform::DispatchSystemMessages() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

WallReading WindowsPlatform::ReadWallClock() {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    const std::uint64_t ticks = Ticks(now) - kFileTimeAt1970;
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
        // A leap second shows as :60 where the system keeps them; the naive calendar has
        // no room for it.
        reading.local.second = local.wSecond > 59 ? 59 : local.wSecond;
    }
    return reading;
}

std::int64_t WindowsPlatform::MonotonicNanos() {
    LARGE_INTEGER count{};
    ::QueryPerformanceCounter(&count);
    const std::int64_t whole = count.QuadPart / counterFrequency_;
    const std::int64_t rest = count.QuadPart % counterFrequency_;
    return whole * kNanosPerSecond + rest * kNanosPerSecond / counterFrequency_;
}

void WindowsPlatform::Sleep(int milliseconds) {
    if (milliseconds <= 0) return;
    if (timer_ != nullptr) {
        LARGE_INTEGER due{};
        due.QuadPart = -std::int64_t{milliseconds} * 10'000;  // relative, in 100 ns ticks
        if (::SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE) &&
            ::WaitForSingleObject(timer_, INFINITE) == WAIT_OBJECT_0) {
            return;
        }
    }
    ::Sleep(static_cast<DWORD>(milliseconds));
}

std::string WindowsPlatform::ExecutableDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        // No folder rather than a guessed one: without it, there is no log.
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        // Cut short: try again with room to spare.
        path.resize(path.size() * 2);
    }
    return windows::DirectoryOf(ToUtf8(std::u16string(path.begin(), path.end())));
}

std::string WindowsPlatform::CommandLineTail() {
    const wchar_t* line = ::GetCommandLineW();
    const std::u16string text = line != nullptr ? std::u16string(line, line + ::wcslen(line)) : std::u16string();
    return ToUtf8(windows::CommandLineTail(text));
}

std::vector<std::string> WindowsPlatform::Arguments() {
    const wchar_t* line = ::GetCommandLineW();
    const std::u16string text = line != nullptr ? std::u16string(line, line + ::wcslen(line)) : std::u16string();
    std::vector<std::string> arguments;
    for (const std::u16string& argument : windows::SplitArguments(windows::CommandLineTail(text))) {
        arguments.push_back(ToUtf8(argument));
    }
    return arguments;
}

bool WindowsPlatform::IsRegularFile(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

std::string WindowsPlatform::AppendToFile(const std::string& path, std::string_view text) {
    // Append-only access makes every write land at the end of the file, whoever else is
    // appending; the sharing lets other probes (and a reader) have it open meanwhile.
    // A scanner, a backup or a viewer may hold the log for a moment without sharing it: it
    // is tried again for about a second, in the pause's ticks, close requests answered.
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD openError = ERROR_SUCCESS;
    for (int wait = 0;; ++wait) {
        file = ::CreateFileW(WidePath(path).c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        openError = file == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
        if (openError != ERROR_SHARING_VIOLATION || wait == kLockedLogWaits) break;
        Sleep(10);
        DispatchSystemMessages();
    }
    if (file == INVALID_HANDLE_VALUE) return windows::FileErrorText(openError);
    // A pipe or a device in the log's place would take the entry elsewhere, or hold it.
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        return "Not a regular file";
    }
    OVERLAPPED lock{};
    if (!LockForAppend(file, lock)) {
        ::CloseHandle(file);
        return "Locked by another process";
    }
    std::uint64_t written = 0;
    const DWORD writeError = WriteAll(file, text, &written);
    if (writeError != ERROR_SUCCESS) CutBack(WidePath(path), file, written);
    const DWORD closeError = ::CloseHandle(file) ? ERROR_SUCCESS : ::GetLastError();
    if (writeError != ERROR_SUCCESS) return windows::FileErrorText(writeError);
    if (closeError != ERROR_SUCCESS) return windows::FileErrorText(closeError);
    return {};
}

std::uint64_t WindowsPlatform::Random64() {
    using GenRandom = LONG(WINAPI*)(void* algorithm, PUCHAR buffer, ULONG size, ULONG flags);
    constexpr ULONG kSystemPreferredRng = 0x2;  // BCRYPT_USE_SYSTEM_PREFERRED_RNG
    // advapi32's RtlGenRandom would need no loading, but it forwards to cryptbase.dll,
    // which is no KnownDLL either.
    static const auto generate = SystemFunction<GenRandom>(L"bcrypt.dll", "BCryptGenRandom");
    std::uint64_t value = 0;
    if (generate != nullptr &&
        generate(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value, kSystemPreferredRng) >= 0) {
        return value;
    }
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    return MixReadings(Ticks(now), static_cast<std::uint64_t>(MonotonicNanos()), ::GetCurrentProcessId());
}

// Like _exit: a resolver thread still inside a lookup may hold locks that the orderly
// shutdown of the system's libraries would wait for.
void WindowsPlatform::Terminate(EndWay /*way*/, int status) {
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(status));
    ::ExitProcess(static_cast<UINT>(status));
}

}  // namespace pelldor::platform
