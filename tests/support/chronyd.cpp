#include "support/chronyd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

namespace pelldor::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;

constexpr std::size_t kPacketSize = 48;
constexpr int kStartAttempts = 3;
constexpr milliseconds kReadyBound = 5s;
constexpr std::uint16_t kNtpPort = 123;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    [[nodiscard]] int get() const { return fd_; }

private:
    int fd_;
};

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

std::uint16_t FreeLoopbackPort() {
    const Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (fd.get() < 0 || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("no free UDP port on 127.0.0.1: " + std::string(std::strerror(errno)));
    }
    return ntohs(address.sin_port);
}

// Preloading the library straight into chronyd, rather than through the faketime wrapper,
// keeps chronyd our own child: the wrapper forks, so stopping it would orphan chronyd, and
// a killed wrapper leaves its shared memory behind.
std::string FindLibfaketime() {
    std::vector<fs::path> folders{"/usr/lib", "/usr/lib64", "/usr/local/lib"};
    std::error_code error;
    for (fs::directory_iterator it("/usr/lib", error), end; !error && it != end; it.increment(error)) {
        if (it->is_directory(error)) folders.push_back(it->path());
    }
    for (const auto& folder : folders) {
        const fs::path candidate = folder / "faketime" / "libfaketime.so.1";
        if (fs::is_regular_file(candidate, error)) return candidate.string();
    }
    return {};
}

std::string CurrentUserName() {
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr ? entry->pw_name : "root";
}

std::uint32_t ReadU32(const std::uint8_t* at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) | at[3];
}

std::uint64_t ReadU64(const std::uint8_t* at) {
    return (std::uint64_t{ReadU32(at)} << 32) | ReadU32(at + 4);
}

}  // namespace

std::string NtpReplyHeader::ReferenceText() const {
    std::string text(4, '.');
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(referenceId >> (24 - 8 * i));
        if (c >= 0x20 && c < 0x7f) text[i] = static_cast<char>(c);
    }
    return text;
}

std::optional<NtpReplyHeader> AskOnce(std::uint16_t port, milliseconds wait, const NetNamespace* netns,
                                      const std::string& address) {
    // A fresh connected socket per question: whatever arrives on it answers this request,
    // never a late one sent earlier.
    const Fd fd(netns != nullptr ? netns->Socket(AF_INET, SOCK_DGRAM, 0)
                                 : ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in server = Loopback(port);
    if (fd.get() < 0 || ::inet_pton(AF_INET, address.c_str(), &server.sin_addr) != 1 ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        return std::nullopt;
    }

    static thread_local std::mt19937_64 random{std::random_device{}()};
    const std::uint64_t cookie = random();
    std::array<std::uint8_t, kPacketSize> request{};
    request[0] = (4 << 3) | 3;  // version 4, client
    for (int i = 0; i < 8; ++i) request[40 + i] = static_cast<std::uint8_t>(cookie >> (56 - 8 * i));
    if (::send(fd.get(), request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
        return std::nullopt;
    }

    const auto deadline = steady_clock::now() + wait;
    for (;;) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd watch{fd.get(), POLLIN, 0};
        const int ready = ::poll(&watch, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        std::array<std::uint8_t, 512> reply{};
        const ssize_t got = ::recv(fd.get(), reply.data(), reply.size(), 0);
        // Nothing listening yet shows as a refused connection; the caller asks again.
        if (got < 0) return std::nullopt;
        if (static_cast<std::size_t>(got) < kPacketSize) continue;
        NtpReplyHeader header;
        header.leap = reply[0] >> 6;
        header.version = (reply[0] >> 3) & 7;
        header.mode = reply[0] & 7;
        header.stratum = reply[1];
        header.referenceId = ReadU32(&reply[12]);
        if (ReadU64(&reply[24]) != cookie) continue;
        header.transmitTime = ReadU64(&reply[40]);
        return header;
    }
}

ChronydServer::ChronydServer(ChronydOptions options) : options_(std::move(options)) {
    chronyd_ = FindProgram("chronyd");
    if (chronyd_.empty()) throw ChronydUnavailable("chronyd is not installed (Debian package chrony)");
    if (options_.shift != "0") {
        libfaketime_ = FindLibfaketime();
        if (libfaketime_.empty()) {
            throw ChronydUnavailable("libfaketime is not installed (Debian packages faketime and libfaketime)");
        }
    }

    std::string failures;
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        // Another test may take the port between our probe and chronyd's bind: try anew.
        port_ = options_.netns != nullptr ? kNtpPort : FreeLoopbackPort();
        const std::string config = WriteConfig();
        if (attempt == 0) {
            const RunResult check = RunProgram(chronyd_, {"-p", "-f", config}, 5s);
            if (!check.exited || check.exitStatus != 0) {
                const std::string why = "chronyd -p rejects the configuration: " + check.err + check.startError;
                // Only the rate limit uses a directive that older chronyd versions lack.
                if (options_.rateLimited) throw ChronydUnavailable(why + " (ratelimit's kod option needs chrony 4.6)");
                throw std::runtime_error(why);
            }
        }
        Launch(config);
        if (AnswersWithin(kReadyBound)) {
            CheckCannotSetClock(daemon_.pid());
            return;
        }
        failures += "attempt " + std::to_string(attempt + 1) + " on port " + std::to_string(port_) + ":\n" +
                    Output() + "\n";
        daemon_.Stop();
    }
    throw std::runtime_error("chronyd did not answer on " + options_.address + ":\n" + failures);
}

ChronydServer::~ChronydServer() = default;

std::string ChronydServer::Output() const { return ReadWholeFile(dir_.File("chronyd.log")); }

std::string ChronydServer::WriteConfig() const {
    const std::string path = dir_.File("chronyd.conf");
    std::ofstream out(path, std::ios::trunc);
    out << "port " << port_ << "\n"
        << "bindaddress " << options_.address << "\n"
        << (options_.netns != nullptr ? "allow\n" : "allow 127.0.0.1\n")
        << "cmdport 0\n"
        // No command socket under /run: parallel chronyds would fight over it.
        << "bindcmdaddress /\n"
        << "pidfile " << dir_.File("chronyd.pid") << "\n";
    if (options_.synchronised) out << "local stratum 8\n";
    if (options_.rateLimited) {
        // One answer per 16 s after a burst of one, so a client asking every second or
        // faster is over the limit for the whole test; the fewest plain answers leak
        // through (1 in 16) and half of the excess is answered with a KoD RATE.
        out << "ratelimit interval 4 burst 1 leak 4 kod 1\n";
    }
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}

void ChronydServer::Launch(const std::string& config) {
    DaemonSetup setup{.args = {chronyd_, "-x", "-d", "-u", CurrentUserName(), "-f", config},
                    .env = EnvironmentWithout({"LD_PRELOAD=", "FAKETIME"}),
                    .output = dir_.File("chronyd.log"),
                    .netns = options_.netns != nullptr ? options_.netns->Path() : std::string()};
    if (!libfaketime_.empty()) {
        setup.env.push_back("LD_PRELOAD=" + libfaketime_);
        setup.env.push_back("FAKETIME=" + options_.shift + "s");
    }
    std::error_code ignored;
    fs::remove(dir_.File("chronyd.pid"), ignored);
    fs::remove(setup.output, ignored);
    daemon_ = Daemon(setup);
}

bool ChronydServer::AnswersWithin(milliseconds bound) {
    const auto deadline = steady_clock::now() + bound;
    while (steady_clock::now() < deadline) {
        if (!daemon_.Running()) return false;
        const auto asked = steady_clock::now();
        if (AskOnce(port_, 200ms, options_.netns, options_.address)) return true;
        std::this_thread::sleep_until(asked + 100ms);
    }
    return false;
}

}  // namespace pelldor::testing
