#include <fcntl.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <string>
#include <vector>

#include "platform/linux/linux_net.h"
#include "platform/native.h"

namespace pelldor::platform {
namespace {

std::string ErrorText(int error) { return std::strerror(error); }

// The folder of an absolute path.
std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes all of the text, in a single call unless the system takes only part of it, and
// counts into `written` what went out.
int WriteAll(int fd, std::string_view text, std::size_t* written = nullptr) {
    std::size_t done = 0;
    int error = 0;
    while (done < text.size() && error == 0) {
        const ssize_t got = ::write(fd, text.data() + done, text.size() - done);
        if (got >= 0) {
            done += static_cast<std::size_t>(got);
        } else if (errno != EINTR) {
            error = errno;
        }
    }
    if (written != nullptr) *written = done;
    return error;
}

void Nap(long nanoseconds) {
    timespec pause{0, nanoseconds};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Every run holds an exclusive advisory lock on the log from its write until it has cut a
// short write back off, so no other run's entry can land between the two. A lock held for
// more than a second (by a stopped process) fails the append rather than hold the run.
bool LockForAppend(int fd) {
    for (int tries = 0; ::flock(fd, LOCK_EX | LOCK_NB) != 0; ++tries) {
        // A file system without such locks still takes the entry.
        if (errno != EWOULDBLOCK && errno != EINTR) return true;
        if (tries == 1000) return false;
        Nap(1'000'000);
    }
    return true;
}

// Only whole entries: a write cut short at the file-size limit or on a full disk is cut
// back off, but only while the file still ends with it, so that nothing written after it
// by a writer that takes no lock is lost.
std::string AppendWhole(int fd, std::string_view text) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return ErrorText(errno);
    if (!S_ISREG(info.st_mode)) return "Not a regular file";
    if (!LockForAppend(fd)) return "Locked by another process";
    std::size_t written = 0;
    const int error = WriteAll(fd, text, &written);
    if (error == 0) return {};
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    const auto ours = static_cast<off_t>(written);
    if (ours > 0 && end >= ours && ::fstat(fd, &info) == 0 && info.st_size == end) {
        [[maybe_unused]] const int ignored = ::ftruncate(fd, end - ours);
    }
    return ErrorText(error);
}

bool ReadRandom(void* target, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(target);
    std::size_t done = 0;
    while (done < size) {
        // Non-blocking: early in boot the pool may not be ready, and /dev/urandom never waits.
        const ssize_t got = ::getrandom(bytes + done, size - done, GRND_NONBLOCK);
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    if (done == size) return true;

    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, bytes + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return done == size;
}

std::uint64_t ClockNanos(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * static_cast<std::uint64_t>(kNanosPerSecond) +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

// The arguments joined by single blanks. An argument that is empty or holds a blank or a
// tab is put in double quotes, so the program's own splitting gets the same pieces back.
std::string JoinCommandLineTail(std::span<const std::string> arguments) {
    std::string tail;
    bool first = true;
    for (const std::string& argument : arguments) {
        if (!first) tail += ' ';
        first = false;
        if (argument.empty() || argument.find_first_of(" \t") != std::string::npos) {
            tail += '"';
            tail += argument;
            tail += '"';
        } else {
            tail += argument;
        }
    }
    return tail;
}

class LinuxPlatform final : public Platform {
public:
    LinuxPlatform(int argc, char** argv) {
        for (int i = 1; i < argc; ++i) arguments_.emplace_back(argv[i] != nullptr ? argv[i] : "");
    }

    WallReading ReadWallClock() override;
    std::int64_t MonotonicNanos() override { return static_cast<std::int64_t>(ClockNanos(CLOCK_MONOTONIC)); }
    void Sleep(int milliseconds) override;

    std::string ExecutableDirectory() override;
    char PathSeparator() const override { return '/'; }
    std::string CommandLineTail() override { return JoinCommandLineTail(arguments_); }
    std::vector<std::string> Arguments() override { return arguments_; }

    bool IsRegularFile(const std::string& path) override;
    std::string AppendToFile(const std::string& path, std::string_view text) override;

    std::uint64_t Random64() override;
    std::unique_ptr<NameLookup> StartLookup(const std::string& host, std::uint16_t port) override {
        return StartResolverLookup(host, port);
    }
    OpenResult OpenUdp(const NetAddress& peer) override { return OpenConnectedUdp(peer); }

    void WriteStandardOutput(std::string_view text) override { (void)WriteAll(STDOUT_FILENO, text); }
    void WriteStandardError(std::string_view text) override { (void)WriteAll(STDERR_FILENO, text); }

protected:
    void Terminate(EndWay /*way*/, int status) override { ::_exit(status); }

private:
    std::vector<std::string> arguments_;
};

void EndOnSignal(int) { ::_exit(1); }

}  // namespace

std::unique_ptr<Platform> MakeNativePlatform(int argc, char** argv) {
    // Before anything opens a descriptor: one of 0 to 2 left closed by our starter would go
    // to the next socket or file, and a line meant for standard error with it.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF && ::open("/dev/null", O_RDWR | O_NOCTTY) != fd) ::_exit(1);
    }
    // Ended by one of these, a run would leave 128 + n, which reads as a verdict of 100 or
    // more: it ends as a failed probe instead, at once and without a log line, which a
    // handler cannot write safely. A signal our starter chose to ignore stays ignored.
    struct sigaction end {};
    end.sa_handler = EndOnSignal;
    ::sigfillset(&end.sa_mask);
    for (const int signal : {SIGTERM, SIGHUP, SIGINT, SIGALRM, SIGUSR1, SIGUSR2}) {
        struct sigaction before {};
        if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) ::sigaction(signal, &end, nullptr);
    }
    // A failed write is reported where it happens: to a reader that has gone, it must not
    // end the run with a status of its own.
    ::signal(SIGPIPE, SIG_IGN);
    // A log grown past the file-size limit must fail its write like any other write
    // failure (status 1 and one line on standard error), not kill the run with a signal.
    ::signal(SIGXFSZ, SIG_IGN);
    return std::make_unique<LinuxPlatform>(argc, argv);
}

WallReading LinuxPlatform::ReadWallClock() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    WallReading reading;
    reading.utc = {ts.tv_sec, static_cast<std::uint32_t>(ts.tv_nsec)};
    const time_t seconds = ts.tv_sec;
    tm fields{};
    if (::localtime_r(&seconds, &fields) != nullptr) {
        reading.local.year = fields.tm_year + 1900;
        reading.local.month = fields.tm_mon + 1;
        reading.local.day = fields.tm_mday;
        reading.local.hour = fields.tm_hour;
        reading.local.minute = fields.tm_min;
        // A leap second shows as :60 here; the naive calendar has no room for it.
        reading.local.second = fields.tm_sec > 59 ? 59 : fields.tm_sec;
    }
    return reading;
}

void LinuxPlatform::Sleep(int milliseconds) {
    if (milliseconds <= 0) return;
    timespec remaining{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1'000'000L};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

std::string LinuxPlatform::ExecutableDirectory() {
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", target.data(), target.size());
        if (length < 0) break;
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            if (!target.empty() && target.front() == '/') return DirectoryOf(target);
            break;
        }
        // Possibly cut short: try again with room to spare.
        target.resize(target.size() * 2);
    }
    // Without /proc: the path the kernel was given at exec, its links resolved. A relative
    // one was given from the folder we started in, which the program never leaves.
    const auto* given = reinterpret_cast<const char*>(::getauxval(AT_EXECFN));
    if (char* real = given != nullptr ? ::realpath(given, nullptr) : nullptr) {
        const std::string path = real;
        std::free(real);
        return DirectoryOf(path);
    }
    return {};
}

bool LinuxPlatform::IsRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string LinuxPlatform::AppendToFile(const std::string& path, std::string_view text) {
    int fd = -1;
    do {
        // Without blocking: a FIFO or a device swapped in for the log must not hold the run.
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return ErrorText(errno);
    std::string failure = AppendWhole(fd, text);
    // A failed close can be the first news of a lost write on some file systems.
    if (::close(fd) != 0 && errno != EINTR && failure.empty()) failure = ErrorText(errno);
    return failure;
}

std::uint64_t LinuxPlatform::Random64() {
    std::uint64_t value = 0;
    if (ReadRandom(&value, sizeof value)) return value;
    return MixReadings(ClockNanos(CLOCK_REALTIME), ClockNanos(CLOCK_MONOTONIC),
                       static_cast<std::uint64_t>(::getpid()));
}

}  // namespace pelldor::platform
