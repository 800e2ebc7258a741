#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/native.h"
#include "support/addresses.h"
#include "support/polling.h"

namespace pelldor::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::AwaitLookup;
using testing::AwaitReceive;
using testing::V4;

std::unique_ptr<Platform> MakePlatform(std::vector<std::string> arguments = {"pelldor"}) {
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    return MakeNativePlatform(static_cast<int>(argv.size()), argv.data());
}

std::string Tail(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "pelldor");
    return MakePlatform(arguments)->CommandLineTail();
}

TEST(LinuxCommandLine, JoinsWithSingleBlanksAndQuotesOnlyWhereNeeded) {
    EXPECT_EQ(Tail({}), "");
    EXPECT_EQ(Tail({"5", "2", "host:123"}), "5 2 host:123");
    EXPECT_EQ(Tail({"5", "2", "my host:123"}), R"(5 2 "my host:123")");
    EXPECT_EQ(Tail({"a\tb", "c"}), "\"a\tb\" c");
    EXPECT_EQ(Tail({"", "x", ""}), R"("" x "")");
    EXPECT_EQ(Tail({"-1", "x,y"}), "-1 x,y");
}

TEST(LinuxCommandLine, TailLeavesOutTheProgramName) {
    EXPECT_EQ(MakePlatform({"/opt/pelldor/pelldor", "5", "2", "my host:123"})->CommandLineTail(),
              R"(5 2 "my host:123")");
    EXPECT_EQ(MakePlatform({})->CommandLineTail(), "");
}

class LinuxFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pelldor-unit-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    static std::string Contents(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path dir_;
    std::unique_ptr<Platform> platform_ = MakePlatform();
    Platform& os_ = *platform_;
};

TEST_F(LinuxFiles, AppendCreatesTheFileThenAddsToItsEnd) {
    const std::string path = dir_ / "ntpdebug.txt";
    EXPECT_FALSE(os_.IsRegularFile(path));
    EXPECT_EQ(os_.AppendToFile(path, "\r\nfirst\r\n"), "");
    EXPECT_TRUE(os_.IsRegularFile(path));
    EXPECT_EQ(os_.AppendToFile(path, "second\r\n"), "");
    EXPECT_EQ(os_.AppendToFile(path, ""), "");
    EXPECT_EQ(Contents(path), "\r\nfirst\r\nsecond\r\n");
}

TEST_F(LinuxFiles, AppendReportsWhyItFailed) {
    fs::create_directory(dir_ / "ntpdebug.txt");
    EXPECT_EQ(os_.AppendToFile(dir_ / "ntpdebug.txt", "x"), std::strerror(EISDIR));
    EXPECT_EQ(os_.AppendToFile(dir_ / "missing" / "ntpdebug.txt", "x"), std::strerror(ENOENT));
    // Nothing but an ordinary file, though these would take the text.
    const std::string fifo = dir_ / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_EQ(os_.AppendToFile(fifo, "x"), "Not a regular file");
    EXPECT_EQ(os_.AppendToFile("/dev/null", "x"), "Not a regular file");
    ::close(reader);
}

TEST_F(LinuxFiles, OnlyAPlainFileCountsAsAFile) {
    fs::create_directory(dir_ / "folder");
    std::ofstream(dir_ / "plain") << "x";
    fs::create_symlink(dir_ / "plain", dir_ / "link");
    EXPECT_FALSE(os_.IsRegularFile(dir_ / "folder"));
    EXPECT_FALSE(os_.IsRegularFile(dir_ / "absent"));
    EXPECT_TRUE(os_.IsRegularFile(dir_ / "plain"));
    EXPECT_TRUE(os_.IsRegularFile(dir_ / "link"));
}

TEST_F(LinuxFiles, ConcurrentAppendsNeverInterleaveWithinAnEntry) {
    const std::string path = dir_ / "shared.txt";
    constexpr int kWriters = 4;
    constexpr int kEntries = 200;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&path, w] {
            const auto os = MakePlatform();
            const std::string entry(300, static_cast<char>('a' + w));
            for (int i = 0; i < kEntries; ++i) ASSERT_EQ(os->AppendToFile(path, entry + "\n"), "");
        });
    }
    for (auto& writer : writers) writer.join();
    std::istringstream lines(Contents(path));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_EQ(line.size(), 300u);
        ASSERT_EQ(std::count(line.begin(), line.end(), line.front()), 300) << line;
    }
    EXPECT_EQ(count, kWriters * kEntries);
}

TEST(LinuxExecutable, DirectoryHoldsTheRunningProgramWhateverArgvZeroSays) {
    auto os = MakePlatform({"no/such/place/platform_tests"});
    const std::string dir = os->ExecutableDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.front(), '/');
    EXPECT_NE(dir.back(), '/');
    EXPECT_TRUE(os->IsRegularFile(dir + os->PathSeparator() + program_invocation_short_name)) << dir;
}

class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (saved_) {
            ::setenv("TZ", saved_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::optional<std::string> saved_;
};

TEST(LinuxClock, LocalFieldsAreTheSameInstantInTheLocalZone) {
    auto os = MakePlatform();
    for (const auto& [zone, offset] : {std::pair{"PELL-3", 3 * 3600}, std::pair{"PELL+9:30", -34200},
                                       std::pair{"UTC0", 0}}) {
        ScopedTimeZone tz(zone);
        const WallReading reading = os->ReadWallClock();
        EXPECT_LT(reading.utc.nanos, 1'000'000'000u);
        EXPECT_EQ(reading.local, FromSerialSeconds(reading.utc.seconds + offset)) << zone;
        EXPECT_NEAR(static_cast<double>(reading.utc.seconds), static_cast<double>(::time(nullptr)), 2.0);
    }
}

extern "C" void IgnoreAlarm(int) {}

TEST(LinuxClock, SleepLastsItsFullTimeEvenWhenSignalsArrive) {
    auto os = MakePlatform();
    struct sigaction quiet {};
    quiet.sa_handler = IgnoreAlarm;  // no SA_RESTART: nanosleep is cut short
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGALRM, &quiet, &previous), 0);
    itimerval every10ms{{0, 10'000}, {0, 10'000}};
    ASSERT_EQ(::setitimer(ITIMER_REAL, &every10ms, nullptr), 0);

    const std::int64_t start = os->MonotonicNanos();
    os->Sleep(120);
    const std::int64_t slept = os->MonotonicNanos() - start;

    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(slept, 120'000'000);
    // Seconds of room for a loaded machine; a sleep that began again in full after each
    // signal would overshoot by far more.
    EXPECT_LT(slept, 5'000'000'000);
}

TEST(LinuxRandom, SuccessiveValuesDiffer) {
    auto os = MakePlatform();
    const std::uint64_t a = os->Random64();
    const std::uint64_t b = os->Random64();
    EXPECT_NE(a, b);
}

// A socket the test owns, standing in for the server.
class TestSocket {
public:
    explicit TestSocket(int family) : family_(family) {
        fd_ = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return;
        sockaddr_storage address = Loopback(0);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), Length()) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        timeval wait{2, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~TestSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    TestSocket(const TestSocket&) = delete;
    TestSocket& operator=(const TestSocket&) = delete;

    [[nodiscard]] bool ok() const { return fd_ >= 0; }

    [[nodiscard]] NetAddress Address() const {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        NetAddress result;
        if (family_ == AF_INET) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
            result = V4(127, 0, 0, 1, ntohs(v4->sin_port));
        } else {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
            result.family = NetAddress::Family::V6;
            result.bytes[15] = 1;
            result.port = ntohs(v6->sin6_port);
        }
        return result;
    }

    // Waits (at most two seconds) for one datagram and remembers who sent it.
    std::vector<std::uint8_t> ReceiveOne() {
        std::vector<std::uint8_t> data(2048);
        socklen_t length = sizeof sender_;
        const ssize_t size = ::recvfrom(fd_, data.data(), data.size(), 0,
                                        reinterpret_cast<sockaddr*>(&sender_), &length);
        data.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
        return data;
    }

    bool ReplyToSender(const std::vector<std::uint8_t>& data) {
        const socklen_t length = sender_.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        return ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sender_), length) ==
               static_cast<ssize_t>(data.size());
    }

    bool SendTo(const sockaddr_storage& target, const std::vector<std::uint8_t>& data) {
        const socklen_t length = target.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        return ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&target), length) ==
               static_cast<ssize_t>(data.size());
    }

    [[nodiscard]] const sockaddr_storage& LastSender() const { return sender_; }

private:
    sockaddr_storage Loopback(std::uint16_t port) const {
        sockaddr_storage address{};
        if (family_ == AF_INET) {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
            v4->sin_family = AF_INET;
            v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            v4->sin_port = htons(port);
        } else {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
            v6->sin6_family = AF_INET6;
            v6->sin6_addr = in6addr_loopback;
            v6->sin6_port = htons(port);
        }
        return address;
    }
    [[nodiscard]] socklen_t Length() const {
        return family_ == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    }

    int family_;
    int fd_ = -1;
    sockaddr_storage sender_{};
};

void RoundTrip(int family) {
    TestSocket server(family);
    if (!server.ok()) GTEST_SKIP() << "no loopback for this address family";
    auto os = MakePlatform();
    OpenResult opened = os->OpenUdp(server.Address());
    ASSERT_TRUE(opened.channel) << Describe(opened.failure);
    UdpChannel& channel = *opened.channel;

    std::array<std::uint8_t, 64> buffer{};
    EXPECT_EQ(channel.Receive(buffer).status, ReceiveStatus::Nothing);

    const std::vector<std::uint8_t> query(48, 0x23);
    ASSERT_FALSE(channel.Send(query).failed());
    ASSERT_EQ(server.ReceiveOne(), query);
    const std::vector<std::uint8_t> reply{1, 2, 3, 4, 5};
    ASSERT_TRUE(server.ReplyToSender(reply));

    const ReceiveResult got = AwaitReceive(channel, buffer);
    ASSERT_EQ(got.status, ReceiveStatus::Datagram);
    EXPECT_EQ(got.size, reply.size());
    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), buffer.begin()));
    EXPECT_EQ(got.from, server.Address()) << AddressText(got.from);
    EXPECT_EQ(channel.Receive(buffer).status, ReceiveStatus::Nothing);
}

TEST(LinuxUdp, RoundTripOverIpv4Loopback) { RoundTrip(AF_INET); }

TEST(LinuxUdp, RoundTripOverIpv6Loopback) { RoundTrip(AF_INET6); }

TEST(LinuxUdp, ReportsTheTrueSizeOfADatagramTooBigForTheBuffer) {
    TestSocket server(AF_INET);
    ASSERT_TRUE(server.ok());
    auto os = MakePlatform();
    OpenResult opened = os->OpenUdp(server.Address());
    ASSERT_TRUE(opened.channel) << Describe(opened.failure);
    ASSERT_FALSE(opened.channel->Send(std::vector<std::uint8_t>(48, 0)).failed());
    ASSERT_EQ(server.ReceiveOne().size(), 48u);

    std::vector<std::uint8_t> big(1500);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(server.ReplyToSender(big));
    std::array<std::uint8_t, 49> buffer{};
    buffer[48] = 0xEE;
    const ReceiveResult got = AwaitReceive(*opened.channel, std::span(buffer).first(48));
    ASSERT_EQ(got.status, ReceiveStatus::Datagram);
    EXPECT_EQ(got.size, 1500u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 48, big.begin()));
    EXPECT_EQ(buffer[48], 0xEE);
}

TEST(LinuxUdp, IgnoresDatagramsFromAnyoneButThePeer) {
    TestSocket server(AF_INET);
    TestSocket stranger(AF_INET);
    ASSERT_TRUE(server.ok() && stranger.ok());
    auto os = MakePlatform();
    OpenResult opened = os->OpenUdp(server.Address());
    ASSERT_TRUE(opened.channel);
    ASSERT_FALSE(opened.channel->Send(std::vector<std::uint8_t>(48, 0)).failed());
    ASSERT_EQ(server.ReceiveOne().size(), 48u);

    ASSERT_TRUE(stranger.SendTo(server.LastSender(), {9, 9, 9}));
    ASSERT_TRUE(server.ReplyToSender({7}));
    std::array<std::uint8_t, 8> buffer{};
    const ReceiveResult got = AwaitReceive(*opened.channel, buffer);
    ASSERT_EQ(got.status, ReceiveStatus::Datagram);
    EXPECT_EQ(got.size, 1u);
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(opened.channel->Receive(buffer).status, ReceiveStatus::Nothing);
}

TEST(LinuxUdp, AClosedPortShowsAsANetworkError) {
    NetAddress closed;
    {
        TestSocket gone(AF_INET);
        ASSERT_TRUE(gone.ok());
        closed = gone.Address();
    }
    auto os = MakePlatform();
    OpenResult opened = os->OpenUdp(closed);
    ASSERT_TRUE(opened.channel) << Describe(opened.failure);
    ASSERT_FALSE(opened.channel->Send(std::vector<std::uint8_t>(48, 0)).failed());
    std::array<std::uint8_t, 48> buffer{};
    const ReceiveResult got = AwaitReceive(*opened.channel, buffer);
    EXPECT_EQ(got.status, ReceiveStatus::NetworkError);
    EXPECT_EQ(got.failure, (NetFailure{NetError::Refused, ECONNREFUSED}));
}

TEST(LinuxLookup, NumericAddressesAreDoneAtOnce) {
    auto os = MakePlatform();
    auto v4 = os->StartLookup("127.0.0.1", 123);
    ASSERT_EQ(v4->Poll(), LookupStatus::Done);
    EXPECT_EQ(v4->Addresses(), std::vector{V4(127, 0, 0, 1, 123)});
    EXPECT_EQ(v4->Poll(), LookupStatus::Done);

    auto v6 = os->StartLookup("::1", 4123);
    ASSERT_EQ(v6->Poll(), LookupStatus::Done);
    ASSERT_EQ(v6->Addresses().size(), 1u);
    EXPECT_EQ(AddressText(v6->Addresses()[0]), "[::1]:4123");
}

TEST(LinuxLookup, LocalhostResolvesToLoopbackWithoutRepeats) {
    auto os = MakePlatform();
    auto lookup = os->StartLookup("localhost", 5000);
    ASSERT_EQ(AwaitLookup(*lookup), LookupStatus::Done) << Describe(lookup->Failure());
    const auto& addresses = lookup->Addresses();
    ASSERT_FALSE(addresses.empty());
    for (const NetAddress& address : addresses) {
        EXPECT_EQ(address.port, 5000);
        EXPECT_EQ(std::count(addresses.begin(), addresses.end(), address), 1) << AddressText(address);
        const bool loopback = address.family == NetAddress::Family::V4 ? address.bytes[0] == 127
                                                                        : AddressText(address) == "[::1]:5000";
        EXPECT_TRUE(loopback) << AddressText(address);
    }
}

// Runs body in a child with a network namespace of its own, whose only interface is a
// loopback that is down: a name query sent there cannot leave this machine. 77 means the
// namespace could not be made.
int InOwnNetworkNamespace(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(::unshare(CLONE_NEWNET) == 0 ? body() : 77);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(LinuxLookup, UnknownAndMalformedNamesFail) {
    const int failures = InOwnNetworkNamespace([] {
        auto os = MakePlatform();
        // Dropped while pending: its resolver thread must finish on its own without harm.
        { auto abandoned = os->StartLookup("also-no-such-host.invalid", 123); }
        const std::string names[] = {"no-such-host.invalid", "", std::string(1000, 'a'),
                                     std::string("127.0.0.1\0evil", 14), "300.1.2.3.4"};
        int wrong = 0;
        for (const std::string& name : names) {
            auto lookup = os->StartLookup(name, 123);
            const bool failed = AwaitLookup(*lookup) == LookupStatus::Failed &&
                                lookup->Failure().failed() && lookup->Addresses().empty();
            wrong += failed ? 0 : 1;
        }
        return wrong;
    });
    if (failures == 77) GTEST_SKIP() << "no network namespace can be made here";
    EXPECT_EQ(failures, 0) << "names that resolved, or failed without a reason";
}

}  // namespace
}  // namespace pelldor::platform
