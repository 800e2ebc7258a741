#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "foundation/run_state.h"
#include "platform/native.h"
#include "platform/windows/windows_text.h"
#include "support/addresses.h"
#include "support/polling.h"

namespace pelldor::platform {
namespace {

using namespace std::chrono_literals;
using testing::AwaitLookup;
using testing::AwaitReceive;
using testing::V4;
using windows::ToUtf16;
using windows::ToUtf8;

constexpr wchar_t kEchoVariable[] = L"PELLDOR_ECHO_TO";

std::wstring Wide(const std::string& text) {
    const std::u16string wide = ToUtf16(text);
    return {wide.begin(), wide.end()};
}

std::string Narrow(const std::wstring& text) { return ToUtf8(std::u16string(text.begin(), text.end())); }

bool UnderWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Started as a child with PELLDOR_ECHO_TO set, this program writes what the platform makes
// of its own command line and location to that file, and ends before any test runs: at
// once, or given the tail "pause" after waiting in the run's pause for 20 s, as a probe on
// a silent server does.
const bool kEchoChild = [] {
    wchar_t target[1024];
    if (::GetEnvironmentVariableW(kEchoVariable, target, 1024) == 0) return false;
    const auto os = MakeNativePlatform(0, nullptr);
    const std::string report = os->CommandLineTail() + "\n" + os->ExecutableDirectory();
    (void)os->AppendToFile(Narrow(target), report);
    if (os->CommandLineTail() == "pause") {
        BindPlatform(os.get());
        Pause(20'000);
    }
    ::TerminateProcess(::GetCurrentProcess(), 0);
    return true;
}();

std::string SelfPath() {
    wchar_t self[1024];
    const DWORD length = ::GetModuleFileNameW(nullptr, self, 1024);
    return Narrow(std::wstring(self, length));
}

// Starts a program with PELLDOR_ECHO_TO set to that file; null handles when it could not.
PROCESS_INFORMATION StartChild(const std::string& program, std::wstring commandLine, const std::string& echo) {
    ::SetEnvironmentVariableW(kEchoVariable, Wide(echo).c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    EXPECT_TRUE(::CreateProcessW(Wide(program).c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &startup, &child)) << ::GetLastError();
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

std::string ReadAll(const std::string& path) {
    const HANDLE file = ::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    ::CloseHandle(file);
    return text;
}

// A fresh folder whose name needs more than ASCII, removed with its files afterwards.
class WindowsFolder : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t base[MAX_PATH + 1];
        ASSERT_GT(::GetTempPathW(MAX_PATH + 1, base), 0u);
        dir_ = Narrow(base) + "pelldor Pr\xc3\xbc" "fung \xe6\x99\x82\xe5\x88\xbb \xf0\x9f\x95\x92 " +
               std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(::GetTickCount64());
        ASSERT_TRUE(::CreateDirectoryW(Wide(dir_).c_str(), nullptr)) << dir_ << ": " << ::GetLastError();
    }
    void TearDown() override { RemoveTree(Wide("\\\\?\\" + dir_)); }
    // Through the extended form, which the standard library's remove_all lacks here.
    static void RemoveTree(const std::wstring& folder) {
        WIN32_FIND_DATAW entry;
        const HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..") continue;
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveTree(folder + L"\\" + name);
                } else {
                    ::DeleteFileW((folder + L"\\" + name).c_str());
                }
            } while (::FindNextFileW(search, &entry));
            ::FindClose(search);
        }
        ::RemoveDirectoryW(folder.c_str());
    }
    std::string In(const std::string& name) const { return dir_ + "\\" + name; }

    std::string dir_;
    std::unique_ptr<Platform> platform_ = MakeNativePlatform(0, nullptr);
    Platform& os_ = *platform_;
};

TEST_F(WindowsFolder, AppendCreatesTheFileThenAddsToItsEnd) {
    const std::string path = In("ntpdebug.txt");
    EXPECT_FALSE(os_.IsRegularFile(path));
    EXPECT_EQ(os_.AppendToFile(path, "\r\nfirst\r\n"), "");
    EXPECT_TRUE(os_.IsRegularFile(path));
    EXPECT_EQ(os_.AppendToFile(path, "second \xc3\xa9\r\n"), "");
    EXPECT_EQ(os_.AppendToFile(path, ""), "");
    EXPECT_EQ(ReadAll(path), "\r\nfirst\r\nsecond \xc3\xa9\r\n");
}

TEST_F(WindowsFolder, AppendReportsWhyItFailedInPlainEnglish) {
    ASSERT_TRUE(::CreateDirectoryW(Wide(In("ntpdebug.txt")).c_str(), nullptr));
    EXPECT_FALSE(os_.IsRegularFile(In("ntpdebug.txt")));
    EXPECT_EQ(os_.AppendToFile(In("ntpdebug.txt"), "x"), "Access denied");
    EXPECT_EQ(os_.AppendToFile(In("missing\\ntpdebug.txt"), "x"), "Path not found");
    // A device in the log's place takes nothing: a pipe would hold the run, NUL lose the entry.
    EXPECT_EQ(os_.AppendToFile("NUL", "x"), "Not a regular file");
    // Another probe's append in progress holds the lock through a whole run's patience.
    const std::string path = In("locked.txt");
    const HANDLE other = ::CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFE;
    at.OffsetHigh = 0x7FFFFFFF;
    ASSERT_TRUE(::LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at));
    EXPECT_EQ(os_.AppendToFile(path, "x"), "Locked by another process");
    ::UnlockFileEx(other, 0, 1, 0, &at);
    EXPECT_EQ(os_.AppendToFile(path, "x"), "");
    ::CloseHandle(other);
}

// As a scanner, a backup or an open viewer holds the log without sharing it: for a moment,
// or for longer than a run waits.
TEST_F(WindowsFolder, ALogHeldWithoutSharingIsWaitedForAboutASecond) {
    const std::string path = In("ntpdebug.txt");
    for (const bool released : {true, false}) {
        const HANDLE holder = ::CreateFileW(Wide(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
        std::thread release([&] {
            if (!released) return;
            std::this_thread::sleep_for(150ms);
            ::CloseHandle(holder);
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(os_.AppendToFile(path, "entry\r\n"), released ? "" : "File in use by another process");
        const auto waited = std::chrono::steady_clock::now() - start;
        release.join();
        if (!released) {
            ::CloseHandle(holder);
            EXPECT_GE(waited, 900ms);
            EXPECT_LT(waited, 20s);
        }
    }
    EXPECT_EQ(ReadAll(path), "entry\r\n");
}

TEST_F(WindowsFolder, PathsBeyondTheClassicLimitWork) {
    std::string deep = dir_;
    for (int level = 0; level < 3; ++level) {
        deep += "\\" + std::string(100, static_cast<char>('a' + level));
        ASSERT_TRUE(::CreateDirectoryW(Wide("\\\\?\\" + deep).c_str(), nullptr)) << ::GetLastError();
    }
    const std::string path = deep + "\\ntpdebug.txt";
    ASSERT_GT(path.size(), 300u);
    EXPECT_EQ(os_.AppendToFile(path, "deep\r\n"), "");
    EXPECT_TRUE(os_.IsRegularFile(path));
    EXPECT_EQ(ReadAll("\\\\?\\" + path), "deep\r\n");
}

TEST_F(WindowsFolder, ProbesAppendingAtOnceNeverInterleaveWithinAnEntry) {
    // Measured with Wine 8, across processes too: it writes each append at the end of file
    // it last saw, so simultaneous appends overwrite one another, sometimes part way. What
    // Windows promises for an append-only handle can only be checked on Windows.
    if (UnderWine()) GTEST_SKIP() << "Wine's appends through an append-only handle are not atomic";
    const std::string path = In("shared.txt");
    // A reader holding the log open, as an editor or a tail would.
    const HANDLE reader = ::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    constexpr int kWriters = 4;
    constexpr int kEntries = 100;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([this, &path, w] {
            const std::string entry(300, static_cast<char>('a' + w));
            for (int i = 0; i < kEntries; ++i) ASSERT_EQ(os_.AppendToFile(path, entry + "\r\n"), "");
        });
    }
    for (auto& writer : writers) writer.join();
    ::CloseHandle(reader);
    const std::string text = ReadAll(path);
    ASSERT_EQ(text.size(), std::size_t{kWriters * kEntries * 302});
    for (std::size_t at = 0; at < text.size(); at += 302) {
        ASSERT_EQ(std::count(text.begin() + at, text.begin() + at + 300, text[at]), 300) << "entry at " << at;
        ASSERT_EQ(text.substr(at + 300, 2), "\r\n");
    }
}

// The platform's view of a child's command line and folder, through PELLDOR_ECHO_TO.
std::vector<std::string> EchoOf(const std::string& program, const std::wstring& commandLine, const std::string& out) {
    EXPECT_EQ(AwaitEnd(StartChild(program, commandLine, out), 30s), 0u);
    const std::string text = ReadAll(out);
    const auto newline = text.find('\n');
    if (newline == std::string::npos) return {text};
    return {text.substr(0, newline), text.substr(newline + 1)};
}

TEST_F(WindowsFolder, TheTailAndFolderComeFromTheSystemAsTyped) {
    const std::string copy = In("platform tests.exe");
    ASSERT_TRUE(::CopyFileW(Wide(SelfPath()).c_str(), Wide(copy).c_str(), FALSE));

    // Quoted name in a folder with blanks and non-ASCII letters, quoted arguments.
    EXPECT_EQ(EchoOf(copy, L"\"" + Wide(copy) + L"\" 5 2 \"my h\u00f6st:123\"  \"\"", In("echo1.txt")),
              (std::vector<std::string>{"5 2 \"my h\xc3\xb6st:123\"  \"\"", dir_}));
    // An unquoted name ends at the first blank: here that cuts the path itself short.
    EXPECT_EQ(EchoOf(copy, L"platform\t\t5\t2 host:123", In("echo2.txt")),
              (std::vector<std::string>{"5\t2 host:123", dir_}));
    // A closing quote ends the name even without a blank after it.
    EXPECT_EQ(EchoOf(copy, L"\"x y\"1 0", In("echo3.txt")), (std::vector<std::string>{"1 0", dir_}));
    EXPECT_EQ(EchoOf(copy, L"pelldor.exe", In("echo4.txt")), (std::vector<std::string>{"", dir_}));
}

// The platform's window: the one of its class that the thread owns.
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

TEST(WindowsWindow, AHiddenWindowWhoseMessagesEveryDeliveryStepDispatches) {
    const auto platform = MakeNativePlatform(0, nullptr);
    Platform& os = *platform;
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
    os.DeliverEvents();
    EXPECT_FALSE(::PeekMessageW(&waiting, nullptr, 0, 0, PM_NOREMOVE)) << "message " << waiting.message << " left";
}

// What taskkill without /F posts, and what a logoff or a shutdown sends, to a run waiting
// on a silent server.
TEST_F(WindowsFolder, ACloseRequestOrTheSessionsEndEndsTheRunWithStatusOne) {
    for (const auto& [message, wParam] :
         {std::pair<UINT, WPARAM>{WM_CLOSE, 0}, {WM_QUERYENDSESSION, 0}, {WM_ENDSESSION, TRUE}}) {
        SCOPED_TRACE(message);
        const PROCESS_INFORMATION child = StartChild(SelfPath(), L"child pause", In("echo.txt"));
        HWND window = nullptr;
        for (int i = 0; i < 1000 && (window = WindowOf(child.dwThreadId)) == nullptr; ++i) {
            std::this_thread::sleep_for(20ms);
        }
        DWORD_PTR answer = 0;
        if (message == WM_CLOSE) ::PostMessageW(window, message, wParam, 0);
        if (message != WM_CLOSE) ::SendMessageTimeoutW(window, message, wParam, 0, SMTO_ABORTIFHUNG, 5000, &answer);
        EXPECT_EQ(AwaitEnd(child, 10s), 1u) << "well before its pause ends";
    }
}

TEST(WindowsUnattended, TheRuntimesMessagesGoToStandardErrorNotToABox) {
    // A GUI program's abort shows a message box and waits for a click before the process
    // ends. Wine's runtime shows none, so the setting is checked instead.
    (void)::_set_error_mode(_OUT_TO_DEFAULT);
    const auto platform = MakeNativePlatform(0, nullptr);
    EXPECT_EQ(::_set_error_mode(_REPORT_ERRMODE), _OUT_TO_STDERR);
}

TEST(WindowsClock, LocalFieldsFineReadingsAndTenMillisecondSleeps) {
    const auto platform = MakeNativePlatform(0, nullptr);
    Platform& os = *platform;
    SYSTEMTIME before{};
    ::GetLocalTime(&before);
    const WallReading reading = os.ReadWallClock();
    const LocalDateTime local{before.wYear, before.wMonth, before.wDay, before.wHour, before.wMinute, before.wSecond};
    EXPECT_LE(std::abs(SecondsBetween(local, reading.local)), 1);
    EXPECT_NEAR(static_cast<double>(reading.utc.seconds), static_cast<double>(std::time(nullptr)), 2.0);
    bool fine = false;
    for (int i = 0; i < 50 && !fine; ++i) fine = os.ReadWallClock().utc.nanos % 1'000'000 != 0;
    EXPECT_TRUE(fine) << "every reading fell on a whole millisecond";

    const std::int64_t start = os.MonotonicNanos();
    const auto wallStart = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) os.Sleep(10);
    const std::int64_t slept = os.MonotonicNanos() - start;
    EXPECT_GE(slept, 500'000'000);
    EXPECT_LT(slept, 2'000'000'000);
    const auto wall = std::chrono::nanoseconds(std::chrono::steady_clock::now() - wallStart).count();
    EXPECT_NEAR(static_cast<double>(slept), static_cast<double>(wall), 50e6) << "the monotonic clock's rate";
    EXPECT_NE(os.Random64(), os.Random64());
}

// A loopback server socket of the test's own, bound to a free port.
struct Server {
    explicit Server(int family) : family(family), socket(::socket(family, SOCK_DGRAM, IPPROTO_UDP)) {
        sockaddr_storage address{};
        address.ss_family = static_cast<ADDRESS_FAMILY>(family);
        if (family == AF_INET) reinterpret_cast<sockaddr_in*>(&address)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (family == AF_INET6) reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr = in6addr_loopback;
        int length = sizeof address;
        if (::bind(socket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        if (family == AF_INET) {
            peer = V4(127, 0, 0, 1, ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port));
        } else {
            peer.family = NetAddress::Family::V6;
            peer.bytes[15] = 1;
            peer.port = ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
        }
        const DWORD wait = 2000;
        ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait), sizeof wait);
    }
    ~Server() { ::closesocket(socket); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Waits for one datagram and answers its sender; the size of what came.
    int Answer(const std::vector<std::uint8_t>& reply) {
        std::array<char, 2048> data{};
        sockaddr_storage sender{};
        int length = sizeof sender;
        const int got = ::recvfrom(socket, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
        if (got >= 0) {
            ::sendto(socket, reinterpret_cast<const char*>(reply.data()), static_cast<int>(reply.size()), 0,
                     reinterpret_cast<sockaddr*>(&sender), length);
        }
        return got;
    }

    int family;
    SOCKET socket;
    NetAddress peer;  // port 0 when the family has no loopback here
};

// The platform starts Winsock before the test's own sockets are made.
class WindowsUdp : public ::testing::Test {
protected:
    std::unique_ptr<Platform> platform_ = MakeNativePlatform(0, nullptr);
    Platform& os_ = *platform_;
};

TEST_F(WindowsUdp, RoundTripsOverBothLoopbacksWithTheTrueSizeOfABigReply) {
    std::vector<std::uint8_t> reply(1500);
    for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<std::uint8_t>(i);
    for (const int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
        Server server(family);
        if (server.peer.port == 0) {
            EXPECT_EQ(family, AF_INET6) << "no IPv4 loopback";
            continue;
        }
        OpenResult opened = os_.OpenUdp(server.peer);
        ASSERT_TRUE(opened.channel) << Describe(opened.failure);
        std::array<std::uint8_t, 49> buffer{};
        EXPECT_EQ(opened.channel->Receive(buffer).status, ReceiveStatus::Nothing);
        ASSERT_FALSE(opened.channel->Send(std::vector<std::uint8_t>(48, 0x23)).failed());
        ASSERT_EQ(server.Answer(reply), 48);

        buffer[48] = 0xEE;
        const ReceiveResult got = AwaitReceive(*opened.channel, std::span(buffer).first(48), 2000ms);
        ASSERT_EQ(got.status, ReceiveStatus::Datagram);
        EXPECT_EQ(got.size, 1500u);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 48, reply.begin()));
        EXPECT_EQ(buffer[48], 0xEE);
        EXPECT_EQ(got.from, server.peer) << AddressText(got.from);
        EXPECT_EQ(opened.channel->Receive(buffer).status, ReceiveStatus::Nothing);
    }
}

TEST_F(WindowsUdp, AClosedPortShowsAsRefused) {
    NetAddress closed;
    {
        Server gone(AF_INET);
        closed = gone.peer;
    }
    OpenResult opened = os_.OpenUdp(closed);
    ASSERT_TRUE(opened.channel) << Describe(opened.failure);
    ASSERT_FALSE(opened.channel->Send(std::vector<std::uint8_t>(48, 0)).failed());
    std::array<std::uint8_t, 48> buffer{};
    const ReceiveResult got = AwaitReceive(*opened.channel, buffer, 1000ms);
    if (got.status == ReceiveStatus::Nothing && UnderWine()) {
        GTEST_SKIP() << "Wine does not report an ICMP port unreachable on a UDP socket's receive";
    }
    EXPECT_EQ(got.status, ReceiveStatus::NetworkError);
    EXPECT_EQ(got.failure, (NetFailure{NetError::Refused, WSAECONNRESET}));
}

// Only names that need no name server: a query for an unknown name could leave the machine.
TEST(WindowsLookup, NumericLocalAndMalformedNames) {
    const auto platform = MakeNativePlatform(0, nullptr);
    Platform& os = *platform;
    auto v4 = os.StartLookup("127.0.0.1", 123);
    ASSERT_EQ(v4->Poll(), LookupStatus::Done);
    EXPECT_EQ(v4->Addresses(), std::vector{V4(127, 0, 0, 1, 123)});
    auto v6 = os.StartLookup("::1", 4123);
    ASSERT_EQ(v6->Poll(), LookupStatus::Done);
    ASSERT_EQ(v6->Addresses().size(), 1u);
    EXPECT_EQ(AddressText(v6->Addresses()[0]), "[::1]:4123");

    auto local = os.StartLookup("localhost", 5000);
    ASSERT_EQ(AwaitLookup(*local), LookupStatus::Done) << Describe(local->Failure());
    for (const NetAddress& address : local->Addresses()) {
        EXPECT_EQ(std::count(local->Addresses().begin(), local->Addresses().end(), address), 1);
        EXPECT_TRUE(address.family == NetAddress::Family::V4 ? address.bytes[0] == 127
                                                             : AddressText(address) == "[::1]:5000")
            << AddressText(address);
    }

    for (const std::string& name : {std::string(), std::string("127.0.0.1\0evil", 14)}) {
        auto lookup = os.StartLookup(name, 123);
        ASSERT_EQ(lookup->Poll(), LookupStatus::Failed);
        EXPECT_EQ(lookup->Failure().kind, NetError::NameNotFound);
        EXPECT_TRUE(lookup->Addresses().empty());
    }
}

}  // namespace
}  // namespace pelldor::platform
