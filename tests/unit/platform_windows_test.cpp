// What only the Windows machine has: the command line as the system hands it over, folders
// named in UTF-16 and deeper than the classic limit, a hidden window and its messages, the
// error boxes a run must never wait on, and other programs' holds on the log through
// sharing modes and byte locks.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "dropin/run_state.h"
#include "foundation/loop.h"
#include "platform/native.h"
#include "platform/windows/roles.h"
#include "platform/windows/windows_text.h"
#include "support/fake_machine.h"
#include "support/polling.h"

namespace pelldor::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Outcome;

constexpr wchar_t kEchoVariable[] = L"PELLDOR_ECHO_TO";
constexpr std::int64_t kSecond = 1'000'000'000;

std::wstring Wide(const std::string& text) {
    const std::u16string wide = windows::ToUtf16(text);
    return {wide.begin(), wide.end()};
}

std::string Narrow(const std::wstring& text) { return windows::ToUtf8(std::u16string(text.begin(), text.end())); }

std::string Read(const std::string& path) { return testing::Contents(fs::path(Wide(path))); }

// Started as a child with PELLDOR_ECHO_TO set, this program writes what the machine makes
// of its own command line and folder to that file, and ends before any test runs: at once,
// or given the tail "pause" after the run's pause of 20 s, as a probe on a silent server;
// with "check pause" it is stopped as the plugin is, UNKNOWN with its line.
const bool kEchoChild = [] {
    wchar_t target[1024];
    if (::GetEnvironmentVariableW(kEchoVariable, target, 1024) == 0) return false;
    const Machine machine = MakeNativeMachine(0, nullptr);
    const std::string tail = machine.process->CommandLineTail();
    (void)machine.files->AppendToFile(Narrow(target), tail + "\n" + machine.files->ExecutableDirectory());
    if (tail == "check pause") machine.process->SetStop(3, "NTP UNKNOWN - stopped by ");
    if (tail.ends_with("pause")) {
        Loop loop(*machine.clock, *machine.process);
        dropin::Pacer(loop).Pause(20'000);
    }
    ::TerminateProcess(::GetCurrentProcess(), 0);
    return true;
}();

std::string SelfPath() {
    wchar_t self[1024];
    const DWORD length = ::GetModuleFileNameW(nullptr, self, 1024);
    return Narrow(std::wstring(self, length));
}

// Starts a program with PELLDOR_ECHO_TO set to that file, and its standard output to
// `output` when given; null handles when it could not.
PROCESS_INFORMATION StartChild(const std::string& program, std::wstring commandLine, const std::string& echo,
                               HANDLE output = nullptr) {
    ::SetEnvironmentVariableW(kEchoVariable, Wide(echo).c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (output != nullptr) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output;
    }
    PROCESS_INFORMATION child{};
    EXPECT_TRUE(::CreateProcessW(Wide(program).c_str(), commandLine.data(), nullptr, nullptr, output != nullptr, 0,
                                 nullptr, nullptr, &startup, &child)) << ::GetLastError();
    ::SetEnvironmentVariableW(kEchoVariable, nullptr);
    return child;
}

// Its exit code once it has ended within the bound; STILL_ACTIVE when it had to be killed.
DWORD AwaitEnd(const PROCESS_INFORMATION& child, std::chrono::milliseconds bound) {
    DWORD code = STILL_ACTIVE;
    if (::WaitForSingleObject(child.hProcess, static_cast<DWORD>(bound.count())) != WAIT_OBJECT_0) {
        ::TerminateProcess(child.hProcess, 99);
    } else {
        ::GetExitCodeProcess(child.hProcess, &code);
    }
    ::CloseHandle(child.hThread);
    ::CloseHandle(child.hProcess);
    return code;
}

class PlatformWindows : public testing::ScratchFolder {
protected:
    // The log, held as a program other than the probe would hold it.
    HANDLE Hold(const std::string& path, DWORD access, DWORD share, bool locks = false) const {
        const HANDLE holder = ::CreateFileW(Wide(path).c_str(), access, share, nullptr, OPEN_ALWAYS, 0, nullptr);
        EXPECT_NE(holder, INVALID_HANDLE_VALUE) << ::GetLastError();
        // The byte far past any end a log reaches, on which probes take turns.
        OVERLAPPED beyond{};
        beyond.Offset = 0xFFFFFFFE;
        beyond.OffsetHigh = 0x7FFFFFFF;
        if (locks) {
            EXPECT_TRUE(::LockFileEx(holder, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &beyond));
        }
        return holder;
    }
};

TEST_F(PlatformWindows, PathsBeyondTheClassicLimitWork) {
    const Machine machine = MakeNativeMachine(0, nullptr);
    std::string deep = "\\\\?\\" + Dir();
    for (const char letter : {'a', 'b', 'c'}) {
        deep += "\\" + std::string(100, letter);
        ASSERT_TRUE(::CreateDirectoryW(Wide(deep).c_str(), nullptr)) << ::GetLastError();
    }
    const std::string path = deep.substr(4) + "\\ntpdebug.txt";
    EXPECT_EQ(Outcome(machine.files->AppendToFile(path, "deep\r\n")), "written");
    EXPECT_TRUE(machine.files->IsSafeRegularFile(path));
    EXPECT_EQ(Read("\\\\?\\" + path), "deep\r\n");
    // The standard library's removal cannot reach that far.
    ::DeleteFileW(Wide("\\\\?\\" + path).c_str());
    for (int level = 0; level < 3; ++level, deep.resize(deep.rfind('\\'))) ::RemoveDirectoryW(Wide(deep).c_str());
}

// The machine's view of its command line and folder, in a child started from a folder
// with blanks and non-ASCII letters: the tail exactly as typed (the rules it is cut by
// are the text tests'), and the folder in UTF-8.
TEST_F(PlatformWindows, TheTailAndFolderComeFromTheSystemAsTyped) {
    const std::string copy = In("platform tests.exe");
    ASSERT_TRUE(::CopyFileW(Wide(SelfPath()).c_str(), Wide(copy).c_str(), FALSE));
    const std::wstring line = L"\"" + Wide(copy) + L"\" 5 2 \"my h\u00f6st:123\"  \"\"";
    EXPECT_EQ(AwaitEnd(StartChild(copy, line, In("echo.txt")), 30s), 0u);
    EXPECT_EQ(Read(In("echo.txt")), "5 2 \"my h\xc3\xb6st:123\"  \"\"\n" + Dir());
}

// The machine's window: the one of its class that the thread owns.
HWND WindowOf(DWORD thread) {
    HWND found = nullptr;
    ::EnumThreadWindows(
        thread,
        [](HWND window, LPARAM out) -> BOOL {
            wchar_t name[64] = {};
            ::GetClassNameW(window, name, 64);
            if (std::wstring(name) != L"frmPelldor") return TRUE;
            *reinterpret_cast<HWND*>(out) = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

TEST_F(PlatformWindows, AHiddenTopLevelWindowWhoseMessagesEndAWaitAndAreDispatched) {
    const Machine machine = MakeNativeMachine(0, nullptr);
    const HWND window = WindowOf(::GetCurrentThreadId());
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(::IsWindowVisible(window));
    wchar_t title[64] = {};
    ::GetWindowTextW(window, title, 64);
    EXPECT_EQ(std::wstring(title), L"frmPelldor");
    EXPECT_EQ(::GetAncestor(window, GA_PARENT), ::GetDesktopWindow()) << "a top-level window";

    ASSERT_TRUE(::PostMessageW(window, WM_APP, 1, 2));
    ASSERT_TRUE(::PostThreadMessageW(::GetCurrentThreadId(), WM_APP + 1, 0, 0));
    MSG waiting;
    ASSERT_TRUE(::PeekMessageW(&waiting, nullptr, 0, 0, PM_NOREMOVE));
    machine.process->DispatchSystemMessages();
    EXPECT_FALSE(::PeekMessageW(&waiting, nullptr, 0, 0, PM_NOREMOVE)) << "message " << waiting.message << " left";

    // One that comes during a long wait ends it, so a close request is not left until then.
    std::thread poster([window] {
        std::this_thread::sleep_for(200ms);
        ::PostMessageW(window, WM_APP, 3, 4);
    });
    const std::int64_t start = machine.clock->MonotonicNanos();
    for (int waits = 0; waits < 100 && !::PeekMessageW(&waiting, nullptr, WM_APP, WM_APP, PM_NOREMOVE) &&
                        machine.clock->MonotonicNanos() < start + 20 * kSecond;
         ++waits) {
        machine.clock->WaitUntil(start + 20 * kSecond, {});
    }
    poster.join();
    EXPECT_LT(machine.clock->MonotonicNanos() - start, 10 * kSecond) << "the message did not end the wait";
    machine.process->DispatchSystemMessages();
}

// What taskkill without /F posts, and what a logoff or a shutdown sends, to a run waiting
// on a silent server: the drop-in ends with status 1, the plugin UNKNOWN with its line.
TEST_F(PlatformWindows, ACloseRequestOrTheSessionsEndEndsTheRun) {
    for (const auto& [message, wParam, tail] :
         {std::tuple<UINT, WPARAM, std::wstring>{WM_CLOSE, 0, L"pause"}, {WM_QUERYENDSESSION, 0, L"pause"},
          {WM_ENDSESSION, TRUE, L"pause"}, {WM_CLOSE, 0, L"check pause"}, {WM_ENDSESSION, TRUE, L"check pause"}}) {
        SCOPED_TRACE(message);
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        const HANDLE output = ::CreateFileW(Wide(In("out.txt")).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        const PROCESS_INFORMATION child = StartChild(SelfPath(), L"child " + tail, In("echo.txt"), output);
        ::CloseHandle(output);
        HWND window = nullptr;
        for (int i = 0; i < 1000 && (window = WindowOf(child.dwThreadId)) == nullptr; ++i) {
            std::this_thread::sleep_for(20ms);
        }
        DWORD_PTR answer = 0;
        if (message == WM_CLOSE) ::PostMessageW(window, message, wParam, 0);
        if (message != WM_CLOSE) ::SendMessageTimeoutW(window, message, wParam, 0, SMTO_ABORTIFHUNG, 5000, &answer);
        const bool check = tail.starts_with(L"check");
        EXPECT_EQ(AwaitEnd(child, 10s), check ? 3u : 1u) << "well before its pause ends";
        const std::string by = message == WM_CLOSE ? "a close request" : "the end of the session";
        EXPECT_EQ(Read(In("out.txt")), check ? "NTP UNKNOWN - stopped by " + by + "\n" : "");
    }
}

// Unattended, a fault or a missing disk must end the run with a status, never wait on a
// box nobody will click. Wine's runtime shows no box, so the settings are checked instead.
TEST_F(PlatformWindows, APreparedProcessShowsNoBoxToWaitOn) {
    (void)::_set_error_mode(_OUT_TO_DEFAULT);
    ::SetErrorMode(0);
    EXPECT_TRUE(PrepareProcess());
    EXPECT_EQ(::_set_error_mode(_REPORT_ERRMODE), _OUT_TO_STDERR);
    constexpr UINT kNoBoxes = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;
    EXPECT_EQ(::GetErrorMode() & kNoBoxes, kNoBoxes);
}

// As a scanner, a backup or a viewer may hold the log without sharing it for writing, and
// another probe or a mere reader may hold the byte lock: a run waits about a second for
// such a hold, once, and then passes its entries over or appends without the lock.
TEST_F(PlatformWindows, AHoldOnTheLogCostsARunAboutASecondOnce) {
    struct Case {
        const char* who;
        DWORD access;
        DWORD share;
        bool locks;
        const char* outcome;
    };
    constexpr DWORD kReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const Case cases[] = {
        {"a program that shares nothing", GENERIC_READ, 0, false, "passed over: File in use by another process"},
        {"a reader that shares only reading", GENERIC_READ, FILE_SHARE_READ, false,
         "passed over: File in use by another process"},
        {"a reader holding the byte lock", GENERIC_READ, kReadWrite, true, "written"},
        {"another probe holding the byte lock", FILE_APPEND_DATA, kReadWrite, true, "written"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.who);
        const std::string path = In(std::string(c.who) + ".txt");
        const HANDLE holder = Hold(path, c.access, c.share, c.locks);
        const Machine run = MakeNativeMachine(0, nullptr);
        std::string entered;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 10; ++i, entered += c.locks ? "entry\r\n" : "") {
            EXPECT_EQ(Outcome(run.files->AppendToFile(path, "entry\r\n")), c.outcome);
        }
        const auto took = std::chrono::steady_clock::now() - start;
        ::CloseHandle(holder);
        EXPECT_GE(took, 900ms) << "the hold was not waited for";
        EXPECT_LT(took, 6s) << "waited for more than once: a second an entry would take ten";
        EXPECT_EQ(Read(path), entered);
    }
}

// The same on a virtual clock, each step of the wait counted: a hold that ends during the
// wait lets the entry in at the next step, each step answers the process's messages (a
// close request), and the second of patience is the run's, not each entry's: holds that
// each end just within it (a scanner that looks at the log after every write) cost the run
// about a second in all.
TEST_F(PlatformWindows, AHoldThatEndsIsWaitedForOnlyWithinTheRunsSecond) {
    struct Case {
        const char* hold;
        DWORD share;
        bool locks;
        int endsAfter;  // steps of waiting
        int entries;
        std::int64_t waited;  // in all, at most
    };
    const Case cases[] = {
        {"no sharing", 0, false, 30, 1, 3 * kSecond / 10},
        {"sharing only reading", FILE_SHARE_READ, false, 30, 1, 3 * kSecond / 10},
        {"no sharing, again and again", 0, false, 90, 3, 11 * kSecond / 10},
        {"the byte lock, again and again", FILE_SHARE_READ | FILE_SHARE_WRITE, true, 90, 3, 11 * kSecond / 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hold);
        const std::string path = In(std::string(c.hold) + ".txt");
        testing::FakeClock clock;
        testing::FakeProcess process;
        const std::unique_ptr<Files> files = windows::MakeFiles(clock, process);
        HANDLE holder = INVALID_HANDLE_VALUE;
        int steps = 0;
        clock.onWait = [&] {
            if (++steps == c.endsAfter) ::CloseHandle(std::exchange(holder, INVALID_HANDLE_VALUE));
        };
        for (int entry = 0; entry < c.entries; ++entry, steps = 0) {
            holder = Hold(path, GENERIC_READ, c.share, c.locks);
            const std::string outcome = Outcome(files->AppendToFile(path, "entry\r\n"));
            if (holder != INVALID_HANDLE_VALUE) ::CloseHandle(holder);
            if (c.entries == 1) {
                EXPECT_EQ(outcome, "written");
                EXPECT_EQ(Read(path), "entry\r\n");
            }
        }
        EXPECT_LE(clock.waitedNanos, c.waited) << clock.waits << " steps";
        EXPECT_GT(clock.waits, 0);
        EXPECT_EQ(process.dispatches, clock.waits);
    }
}

}  // namespace
}  // namespace pelldor::platform
