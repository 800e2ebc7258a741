// What every machine promises the program, checked against the one this build is for: the
// same tests run on Linux and, cross-built, on Windows under Wine. What only one system has
// (its command line, its folder rules, its locks) is in its own file beside this one.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/text.h"
#include "foundation/time_math.h"
#include "platform/native.h"
#include "platform/socket_address.h"
#include "support/addresses.h"
#include "support/polling.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pelldor::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Contents;
using testing::Outcome;
using Family = NetAddress::Family;

constexpr std::int64_t kMilli = 1'000'000;

// What differs between the systems here is only how they say things.
#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
const char* const kDevice = "NUL";
// An ICMP port unreachable, as Windows reports it on the next receive.
constexpr NetFailure kRefused{NetError::Refused, WSAECONNRESET};
bool UnderWine() { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }
std::string Says(int /*error*/, const char* windows) { return windows; }
Socket OpenSocket(int family) {
    const Socket socket = ::socket(family, SOCK_DGRAM, IPPROTO_UDP);
    u_long nonBlocking = 1;
    if (socket != kNoSocket) ::ioctlsocket(socket, FIONBIO, &nonBlocking);
    return socket;
}
void CloseSocket(Socket socket) { ::closesocket(socket); }
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
const char* const kDevice = "/dev/null";
constexpr NetFailure kRefused{NetError::Refused, ECONNREFUSED};
bool UnderWine() { return false; }
std::string Says(int error, const char* /*windows*/) { return std::strerror(error); }
Socket OpenSocket(int family) { return ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }
void CloseSocket(Socket socket) { ::close(socket); }
#endif

Machine Native() { return MakeNativeMachine(0, nullptr); }

class PlatformFiles : public testing::ScratchFolder {
protected:
    Machine machine_ = Native();
    Files& files_ = *machine_.files;
};

// The log is made on the first append and grows at its end. Whatever else stands in its
// place fails, in words that say why; even one that would take the text (a device, a pipe)
// takes nothing, and a pipe does not hold the run.
TEST_F(PlatformFiles, AppendingTakesAnOrdinaryFileAndNothingElse) {
    const std::string log = In("ntpdebug.txt");
    EXPECT_FALSE(files_.IsSafeRegularFile(log));
    EXPECT_EQ(Outcome(files_.AppendToFile(log, "\r\nfirst\r\n")), "written");
    EXPECT_TRUE(files_.IsSafeRegularFile(log));
    EXPECT_EQ(Outcome(files_.AppendToFile(log, "second \xc3\xa9\r\n")), "written");
    EXPECT_EQ(Outcome(files_.AppendToFile(log, "")), "written");
    EXPECT_EQ(Contents(dir_ / "ntpdebug.txt"), "\r\nfirst\r\nsecond \xc3\xa9\r\n");

    std::ofstream(dir_ / "plain") << "x";
    fs::create_directory(dir_ / "folder");
#ifndef _WIN32
    fs::create_symlink(dir_ / "plain", dir_ / "link");
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0644), 0);
    const int reader = ::open((dir_ / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
#endif
    struct Case {
        std::string path;
        std::optional<bool> counts;  // none where the systems' own tools disagree on a device
        std::string append;
    };
    const Case cases[] = {
        {In("plain"), true, "written"},
        {In("folder"), false, "failed: " + Says(EISDIR, "Access denied")},
        {In("missing") + files_.PathSeparator() + "log", false, "failed: " + Says(ENOENT, "Path not found")},
        {kDevice, std::nullopt, "failed: Not a regular file"},
#ifndef _WIN32
        {In("link"), true, "written"},
        {In("fifo"), false, "failed: Not a regular file"},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.counts) {
            EXPECT_EQ(files_.IsSafeRegularFile(c.path), *c.counts);
        }
        EXPECT_EQ(Outcome(files_.AppendToFile(c.path, "x")), c.append);
    }
#ifndef _WIN32
    ::close(reader);
    EXPECT_EQ(Contents(dir_ / "plain"), "xxx") << "once directly, once through the link";
#endif
}

TEST_F(PlatformFiles, ProbesAppendingAtOnceNeverInterleaveWithinAnEntry) {
    // Measured with Wine 8, across processes too: it writes each append at the end of file
    // it last saw, so simultaneous appends overwrite one another, sometimes part way. What
    // Windows promises for an append-only handle can only be checked on Windows.
    if (UnderWine()) GTEST_SKIP() << "Wine's appends through an append-only handle are not atomic";
    const std::string path = In("shared.txt");
    ASSERT_EQ(Outcome(files_.AppendToFile(path, "")), "written");
    // A reader holding the log open, as an editor or a tail would.
    std::ifstream reader(dir_ / "shared.txt", std::ios::binary);
    ASSERT_TRUE(reader.is_open());
    constexpr int kWriters = 4;
    constexpr int kEntries = 150;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&path, w] {
            const Machine probe = Native();  // one each, as each probe has its own
            const std::string entry = std::string(300, static_cast<char>('a' + w)) + "\r\n";
            for (int i = 0; i < kEntries; ++i) ASSERT_EQ(Outcome(probe.files->AppendToFile(path, entry)), "written");
        });
    }
    for (auto& writer : writers) writer.join();
    const std::string text = Contents(dir_ / "shared.txt");
    ASSERT_EQ(text.size(), std::size_t{kWriters * kEntries * 302});
    for (std::size_t at = 0; at < text.size(); at += 302) {
        ASSERT_EQ(std::count(text.begin() + at, text.begin() + at + 300, text[at]), 300) << "entry at " << at;
        ASSERT_EQ(text.substr(at + 300, 2), "\r\n") << "entry at " << at;
    }
}

// A loopback socket of the test's own on a free port: the server. The machine starts
// Winsock, so one is made before these and outlives them.
class TestSocket {
public:
    explicit TestSocket(Family family)
        : address_(family == Family::V4 ? testing::V4(127, 0, 0, 1, 0) : testing::V6({0, 0, 0, 0, 0, 0, 0, 1}, 0)) {
        sockaddr_storage storage{};
        socklen_t length = ToSockaddr(address_, storage);
        socket_ = OpenSocket(storage.ss_family);
        if (socket_ != kNoSocket && ::bind(socket_, reinterpret_cast<sockaddr*>(&storage), length) == 0 &&
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&storage), &length) == 0) {
            address_.port = FromSockaddr(reinterpret_cast<sockaddr*>(&storage))->port;
        }
    }
    ~TestSocket() {
        if (socket_ != kNoSocket) CloseSocket(socket_);
    }
    TestSocket(const TestSocket&) = delete;
    TestSocket& operator=(const TestSocket&) = delete;

    [[nodiscard]] bool ok() const { return address_.port != 0; }
    [[nodiscard]] const NetAddress& Address() const { return address_; }
    [[nodiscard]] NetAddress Sender() const { return *FromSockaddr(reinterpret_cast<const sockaddr*>(&sender_)); }

    // The next datagram, waited for five seconds at most; its sender is remembered.
    std::vector<std::uint8_t> ReceiveOne() {
        std::vector<std::uint8_t> data(2048);
        for (int tries = 0; tries < 1000; ++tries) {
            socklen_t length = sizeof sender_;
            const auto got = ::recvfrom(socket_, reinterpret_cast<char*>(data.data()), static_cast<int>(data.size()), 0,
                                        reinterpret_cast<sockaddr*>(&sender_), &length);
            if (got >= 0) return {data.begin(), data.begin() + got};
            std::this_thread::sleep_for(5ms);
        }
        return {};
    }
    bool Reply(const std::vector<std::uint8_t>& data) const {
        const socklen_t length = sender_.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        return ::sendto(socket_, reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()), 0,
                        reinterpret_cast<const sockaddr*>(&sender_), length) == static_cast<int>(data.size());
    }

private:
    Socket socket_ = kNoSocket;
    NetAddress address_;
    sockaddr_storage sender_{};
};

// A channel to `server` that has sent it a query and nothing else, so the server knows
// where to answer.
std::unique_ptr<UdpChannel> Introduced(Network& network, TestSocket& server) {
    OpenResult opened = network.OpenUdp(server.Address());
    if (!opened.channel) return nullptr;
    std::array<std::uint8_t, 64> buffer{};
    EXPECT_EQ(opened.channel->Receive(buffer).status, ReceiveStatus::Nothing);
    const std::vector<std::uint8_t> query(48, 0x23);
    EXPECT_FALSE(opened.channel->Send(query).failed());
    EXPECT_EQ(server.ReceiveOne(), query);
    return std::move(opened.channel);
}

TEST(PlatformUdp, RoundTripsOverBothLoopbacksAndHearsOnlyThePeer) {
    std::vector<std::uint8_t> big(1500);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i);
    const std::vector<std::uint8_t> small{1, 2, 3, 4, 5};
    for (const Family family : {Family::V4, Family::V6}) {
        SCOPED_TRACE(family == Family::V4 ? "IPv4" : "IPv6");
        const Machine machine = Native();
        TestSocket server(family);
        if (!server.ok() && family == Family::V6) GTEST_SKIP() << "no IPv6 loopback here";
        ASSERT_TRUE(server.ok());
        const std::unique_ptr<UdpChannel> channel = Introduced(*machine.network, server);
        ASSERT_TRUE(channel);

        // Someone else's datagram first: a channel hears only its peer.
        const std::unique_ptr<UdpChannel> stranger = machine.network->OpenUdp(server.Sender()).channel;
        ASSERT_TRUE(stranger && !stranger->Send(std::vector<std::uint8_t>{9, 9, 9}).failed());
        ASSERT_TRUE(server.Reply(small) && server.Reply(big));
        std::array<std::uint8_t, 49> buffer{};
        ReceiveResult got = testing::AwaitReceive(*machine.clock, *channel, buffer);
        ASSERT_EQ(got.status, ReceiveStatus::Datagram);
        ASSERT_EQ(got.size, small.size());
        EXPECT_TRUE(std::equal(small.begin(), small.end(), buffer.begin()));
        EXPECT_EQ(got.from, server.Address()) << AddressText(got.from);

        // One too big for the buffer: the part that fits, and its true size.
        buffer[48] = 0xEE;
        got = testing::AwaitReceive(*machine.clock, *channel, std::span(buffer).first(48));
        ASSERT_EQ(got.status, ReceiveStatus::Datagram);
        EXPECT_EQ(got.size, 1500u);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 48, big.begin()));
        EXPECT_EQ(buffer[48], 0xEE);
        EXPECT_EQ(channel->Receive(buffer).status, ReceiveStatus::Nothing);
    }
}

// A 20 s wait on two channels ends, with seconds to spare, when the second has something
// to receive: a datagram there before the wait or during it, or a refusal from a port
// where nobody listens.
TEST(PlatformUdp, WhatAWatchedChannelReceivesEndsAWait) {
    enum class Comes { Before, During, Refusal };
    for (const Comes comes : {Comes::Before, Comes::During, Comes::Refusal}) {
        SCOPED_TRACE(static_cast<int>(comes));
        const Machine machine = Native();
        TestSocket quiet(Family::V4);
        OpenResult silent = machine.network->OpenUdp(quiet.Address());
        std::optional<TestSocket> server(std::in_place, Family::V4);
        std::unique_ptr<UdpChannel> active;
        if (comes == Comes::Refusal) {
            const NetAddress closed = server->Address();
            server.reset();
            active = machine.network->OpenUdp(closed).channel;
            ASSERT_TRUE(active && !active->Send(std::vector<std::uint8_t>(48, 0)).failed());
        } else {
            active = Introduced(*machine.network, *server);
        }
        ASSERT_TRUE(silent.channel && active);
        bool replied = true;
        std::thread later([&server, &replied, comes] {
            if (comes == Comes::During) std::this_thread::sleep_for(200ms);
            replied = comes == Comes::Refusal || server->Reply({7});
        });
        if (comes == Comes::Before) later.join();
        Channel* const watched[] = {silent.channel.get(), active.get()};
        std::array<std::uint8_t, 8> buffer{};
        const std::int64_t start = machine.clock->MonotonicNanos();
        const std::int64_t most = (comes == Comes::Refusal && UnderWine() ? 2 : 20) * kNanosPerSecond;
        const ReceiveResult got = testing::AwaitReceive(*machine.clock, *active, buffer, most, watched);
        const std::int64_t took = machine.clock->MonotonicNanos() - start;
        if (later.joinable()) later.join();
        ASSERT_TRUE(replied);
        if (got.status == ReceiveStatus::Nothing && comes == Comes::Refusal && UnderWine()) {
            GTEST_SKIP() << "Wine does not report an ICMP port unreachable on a UDP socket's receive";
        }
        EXPECT_EQ(got.status, comes == Comes::Refusal ? ReceiveStatus::NetworkError : ReceiveStatus::Datagram);
        if (comes == Comes::Refusal) {
            EXPECT_EQ(got.failure, kRefused);
        }
        EXPECT_LT(took, 10 * kNanosPerSecond);
    }
}

// Only names that need no name server: a query for an unknown name could leave the
// machine. Linux's own tests ask for such names inside a network namespace.
TEST(PlatformLookup, NumericLocalAndMalformedNames) {
    const Machine machine = Native();
    for (const auto& [name, text] : {std::pair{"127.0.0.1", "127.0.0.1:4123"}, std::pair{"::1", "[::1]:4123"}}) {
        auto lookup = machine.network->StartLookup(name, 4123);
        ASSERT_EQ(lookup->Poll(), LookupStatus::Done) << name << ": a numeric address is done at once";
        ASSERT_EQ(lookup->Addresses().size(), 1u) << name;
        EXPECT_EQ(AddressText(lookup->Addresses()[0]), text);
        EXPECT_EQ(lookup->Poll(), LookupStatus::Done) << name;
    }
    auto local = machine.network->StartLookup("localhost", 5000);
    ASSERT_EQ(testing::AwaitLookup(*local), LookupStatus::Done) << static_cast<int>(local->Failure().kind);
    const auto& addresses = local->Addresses();
    ASSERT_FALSE(addresses.empty());
    for (const NetAddress& address : addresses) {
        EXPECT_EQ(std::count(addresses.begin(), addresses.end(), address), 1) << AddressText(address);
        EXPECT_TRUE(address.family == Family::V4 ? address.bytes[0] == 127 : AddressText(address) == "[::1]:5000")
            << AddressText(address);
        EXPECT_EQ(address.port, 5000);
    }
    for (const std::string& name : {std::string(), std::string("127.0.0.1\0evil", 14)}) {
        auto lookup = machine.network->StartLookup(name, 123);
        ASSERT_EQ(lookup->Poll(), LookupStatus::Failed);
        EXPECT_EQ(lookup->Failure().kind, NetError::NameNotFound);
        EXPECT_TRUE(lookup->Addresses().empty());
    }
}

TEST(PlatformRandom, SuccessiveValuesDiffer) {
    const Machine machine = Native();
    std::set<std::uint64_t> values;
    for (int i = 0; i < 8; ++i) values.insert(machine.network->Random64());
    EXPECT_EQ(values.size(), 8u);
}

TEST(PlatformClock, TheWallClockReadsUtcFinerThanAMillisecond) {
    const Machine machine = Native();
    const std::time_t before = std::time(nullptr);
    const WallReading reading = machine.clock->ReadWallClock();
    const std::time_t after = std::time(nullptr);
    // A second of room each side: the C library may read a coarser clock.
    EXPECT_GE(reading.utc.seconds, before - 1);
    EXPECT_LE(reading.utc.seconds, after + 1);
    EXPECT_LT(reading.utc.nanos, 1'000'000'000u);
    bool fine = false;
    for (int i = 0; i < 50 && !fine; ++i) fine = machine.clock->ReadWallClock().utc.nanos % kMilli != 0;
    EXPECT_TRUE(fine) << "every reading fell on a whole millisecond";
}

// The local fields are those of the very instant the UTC part shows. Linux reads them in
// whatever zone TZ names; Windows has one zone, the system's, which the test build sets
// through Wine's TZ to one half an hour off UTC, and which another door of it tells.
TEST(PlatformClock, LocalFieldsAreTheSameInstantAsUtc) {
    const Machine machine = Native();
#ifdef _WIN32
    const WallReading reading = machine.clock->ReadWallClock();
    const std::uint64_t ticks = static_cast<std::uint64_t>(reading.utc.seconds + 11'644'473'600) * 10'000'000;
    const FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    FILETIME local{};
    ASSERT_TRUE(::FileTimeToLocalFileTime(&utc, &local));
    const std::uint64_t localTicks = std::uint64_t{local.dwHighDateTime} << 32 | local.dwLowDateTime;
    EXPECT_EQ(reading.local, FromSerialSeconds(static_cast<std::int64_t>(localTicks / 10'000'000) - 11'644'473'600));
#else
    const char* const saved = std::getenv("TZ");
    const std::optional<std::string> before = saved != nullptr ? std::optional<std::string>(saved) : std::nullopt;
    for (const auto& [zone, offset] : {std::pair{"PELL-3", 3 * 3600}, std::pair{"PELL+9:30", -34200}, std::pair{"UTC0", 0}}) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        const WallReading reading = machine.clock->ReadWallClock();
        EXPECT_EQ(reading.local, FromSerialSeconds(reading.utc.seconds + offset)) << zone;
    }
    before ? ::setenv("TZ", before->c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
#endif
}

// A wait lasts until its deadline: it may end early, and the caller waits again for what
// is left, but it must not keep ending early (a program that spins) nor last long past it.
// And the clock it is measured on runs at the real rate.
TEST(PlatformClock, AWaitLastsUntilItsDeadlineOnAClockAtTheRealRate) {
    const Machine machine = Native();
    Clock& clock = *machine.clock;
    TestSocket quiet(Family::V4);
    OpenResult opened = machine.network->OpenUdp(quiet.Address());
    ASSERT_TRUE(quiet.ok() && opened.channel);
    Channel* const silent[] = {opened.channel.get()};
    struct Case {
        const char* what;
        std::int64_t in;
        std::span<Channel* const> watched;
    };
    for (const Case& c : {Case{"nothing watched", 300 * kMilli, {}}, Case{"a silent channel", 300 * kMilli, silent},
                          Case{"a deadline already passed", -1000 * kMilli, silent}}) {
        SCOPED_TRACE(c.what);
        using Steady = std::chrono::steady_clock;
        const auto a0 = Steady::now();
        const std::int64_t start = clock.MonotonicNanos();
        const auto a1 = Steady::now();
        int waits = 0;
        do {
            clock.WaitUntil(start + c.in, c.watched);
            ++waits;
        } while (clock.MonotonicNanos() < start + c.in && waits < 100);
        const auto b0 = Steady::now();
        const std::int64_t end = clock.MonotonicNanos();
        const auto b1 = Steady::now();
        EXPECT_LE(waits, 5) << "waits that keep ending before their deadline";
        EXPECT_LT(end - std::max(start + c.in, start), 5000 * kMilli);
        // However long the test was kept off the processor between readings, the real time
        // between the machine's two lies within these; the margin allows only for a rate.
        EXPECT_GE(end - start, std::chrono::nanoseconds(b0 - a1).count() * 95 / 100 - kMilli);
        EXPECT_LE(end - start, std::chrono::nanoseconds(b1 - a0).count() * 105 / 100 + kMilli);
    }
}

}  // namespace
}  // namespace pelldor::platform
