#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "platform/linux/roles.h"
#include "platform/native.h"

namespace pelldor::platform {
namespace linux_os {
namespace {

// A run ended from outside, as a probe that failed ends.
constexpr int kStoppedStatus = 1;

// How long a reader that does not read may hold up a write to a standard stream.
constexpr int kWritePatienceMs = 1000;

// Writes the text, in pieces no larger than a pipe takes whole, each once the stream can
// take it, for a second at most: a full pipe must not hold the run past its time. A
// socket takes each piece without blocking; the stream's own flags are never changed,
// since a terminal's are shared with the shell that started us.
void WriteAll(int fd, std::string_view text) {
    struct stat info {};
    const bool socket = ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    while (!text.empty()) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long spent = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1'000'000;
        pollfd writable{fd, POLLOUT, 0};
        if (spent >= kWritePatienceMs || ::poll(&writable, 1, static_cast<int>(kWritePatienceMs - spent)) <= 0) {
            if (errno == EINTR) continue;
            return;
        }
        const std::size_t piece = std::min<std::size_t>(text.size(), PIPE_BUF);
        const ssize_t got = socket ? ::send(fd, text.data(), piece, MSG_DONTWAIT | MSG_NOSIGNAL)
                                   : ::write(fd, text.data(), piece);
        if (got >= 0) {
            text.remove_prefix(static_cast<std::size_t>(got));
        } else if (errno != EINTR && errno != EAGAIN) {
            return;
        }
    }
}

// "SIGTERM", "SIGRTMIN+3", for the line a stopped run writes.
std::string SignalName(int signal) {
    if (const char* abbreviation = ::sigabbrev_np(signal)) return std::string("SIG") + abbreviation;
    if (signal >= SIGRTMIN && signal <= SIGRTMAX) return "SIGRTMIN+" + std::to_string(signal - SIGRTMIN);
    return "signal " + std::to_string(signal);
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

// The signals that a fault in the program raises on itself: they cannot wait for the next
// wait, so a handler ends the run. In the sanitizer build the sanitizer keeps those it
// reports on, since its report is worth more than the status.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};

// Every other signal whose default action ends the process: all but those that stop it,
// do nothing by default, cannot be caught, or are ignored outright below.
sigset_t StopSignals() {
    sigset_t set;
    ::sigfillset(&set);
    for (const int kept : {SIGCHLD, SIGCONT, SIGURG, SIGWINCH, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGKILL, SIGPIPE, SIGXFSZ}) {
        ::sigdelset(&set, kept);
    }
    for (const int fault : kFaultSignals) ::sigdelset(&set, fault);
    return set;
}

// What a fault ends the run with: set before any fault can come, read only by the handler,
// which may do no more than write what was made ready and end.
volatile sig_atomic_t faultStatus = kStoppedStatus;
struct FaultLine {
    int signal = 0;
    char text[96] = {};
    std::size_t length = 0;
};
FaultLine faultLines[std::size(kFaultSignals)];

void EndOnFault(int signal) {
    for (const FaultLine& line : faultLines) {
        if (line.signal == signal && line.length > 0) {
            [[maybe_unused]] const ssize_t ignored = ::write(STDOUT_FILENO, line.text, line.length);
        }
    }
    ::_exit(faultStatus);
}

class LinuxProcess final : public Process {
public:
    LinuxProcess(int argc, char** argv) {
        if (argc > 0 && argv[0] != nullptr) program_ = argv[0];
        // Sized once: grown word by word, the list would be moved and reallocated as it fills.
        if (argc > 1) arguments_.reserve(static_cast<std::size_t>(argc - 1));
        for (int i = 1; i < argc; ++i) arguments_.emplace_back(argv[i] != nullptr ? argv[i] : "");
        const sigset_t stops = StopSignals();
        stopSignals_ = ::signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
    }
    ~LinuxProcess() override {
        if (stopSignals_ >= 0) ::close(stopSignals_);
    }
    LinuxProcess(const LinuxProcess&) = delete;
    LinuxProcess& operator=(const LinuxProcess&) = delete;

    std::string ProgramName() override { return program_.substr(program_.rfind('/') + 1); }
    std::string CommandLineTail() override { return JoinCommandLineTail(arguments_); }
    std::vector<std::string> Arguments() override { return arguments_; }
    void WriteStandardOutput(std::string_view text) override { WriteAll(STDOUT_FILENO, text); }
    void WriteStandardError(std::string_view text) override { WriteAll(STDERR_FILENO, text); }

    // The stop signals, held back since the start, are the process's messages: one that
    // our starter did not choose to ignore ends the run here, with no log line.
    void DispatchSystemMessages() override {
        signalfd_siginfo info{};
        while (stopSignals_ >= 0 && ::read(stopSignals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            const int signal = static_cast<int>(info.ssi_signo);
            struct sigaction action {};
            if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
            if (!stopLine_.empty()) WriteAll(STDOUT_FILENO, stopLine_ + SignalName(signal) + "\n");
            EndProcess(stopStatus_);
        }
    }

    void SetStop(int status, std::string_view line) override {
        stopStatus_ = status;
        stopLine_ = line;
        faultStatus = status;
        for (std::size_t i = 0; i < std::size(kFaultSignals); ++i) {
            const std::string text = line.empty() ? std::string() : stopLine_ + SignalName(kFaultSignals[i]) + "\n";
            FaultLine& fault = faultLines[i];
            fault.signal = kFaultSignals[i];
            fault.length = std::min(text.size(), sizeof fault.text);
            std::copy_n(text.data(), fault.length, fault.text);
        }
    }

    std::string ReplaceWith(const std::string& program, const std::vector<std::string>& args) override {
        std::vector<std::string> words{program};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        return ::strerror(errno);
    }

    [[nodiscard]] int StopSignalDescriptor() const { return stopSignals_; }

private:
    std::string program_;
    std::vector<std::string> arguments_;
    int stopSignals_ = -1;
    int stopStatus_ = kStoppedStatus;
    std::string stopLine_;
};

}  // namespace
}  // namespace linux_os

bool PrepareProcess() {
    // Before anything opens a descriptor: one of 0 to 2 left closed by our starter would go
    // to the next socket or file, and a line meant for standard error with it.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF && ::open("/dev/null", O_RDWR | O_NOCTTY) != fd) return false;
    }
    // Ended by a signal, a run would leave 128 + n, which reads as a verdict of 100 or
    // more: every signal that would end it ends it as a failed probe instead. They are held
    // back and taken from a descriptor that every wait watches, which costs two calls where
    // a handler each would cost dozens, and lets the run end outside a handler. A signal
    // our starter chose to ignore stays ignored: it is let go when it is taken.
    const sigset_t stops = linux_os::StopSignals();
    ::sigprocmask(SIG_BLOCK, &stops, nullptr);
    struct sigaction end {};
    end.sa_handler = linux_os::EndOnFault;
    ::sigfillset(&end.sa_mask);
    for (const int signal : linux_os::kFaultSignals) {
#ifdef __SANITIZE_ADDRESS__
        if (signal != SIGSYS) continue;
#endif
        struct sigaction before {};
        if (::sigaction(signal, &end, &before) == 0 && before.sa_handler == SIG_IGN) ::sigaction(signal, &before, nullptr);
    }
    // A failed write is reported where it happens: to a reader that has gone, it must not
    // end the run with a status of its own.
    ::signal(SIGPIPE, SIG_IGN);
    // A log grown past the file-size limit must fail its write like any other write
    // failure (status 1 and one line on standard error), not kill the run with a signal.
    ::signal(SIGXFSZ, SIG_IGN);
    return true;
}

Machine MakeNativeMachine(int argc, char** argv) {
    Machine machine;
    auto process = std::make_unique<linux_os::LinuxProcess>(argc, argv);
    machine.clock = linux_os::MakeClock(process->StopSignalDescriptor());
    machine.process = std::move(process);
    machine.files = linux_os::MakeFiles();
    machine.network = linux_os::MakeNetwork();
    return machine;
}

void EndProcess(int status) { ::_exit(status); }

}  // namespace pelldor::platform
