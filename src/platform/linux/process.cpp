#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <span>
#include <string>
#include <vector>

#include "platform/linux/roles.h"
#include "platform/native.h"

namespace pelldor::platform {
namespace linux_os {
namespace {

// Writes all of the text, in a single call unless the system takes only part of it.
void WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t got = ::write(fd, text.data(), text.size());
        if (got >= 0) {
            text.remove_prefix(static_cast<std::size_t>(got));
        } else if (errno != EINTR) {
            return;
        }
    }
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

class LinuxProcess final : public Process {
public:
    LinuxProcess(int argc, char** argv) {
        for (int i = 1; i < argc; ++i) arguments_.emplace_back(argv[i] != nullptr ? argv[i] : "");
    }

    std::string CommandLineTail() override { return JoinCommandLineTail(arguments_); }
    std::vector<std::string> Arguments() override { return arguments_; }
    void WriteStandardOutput(std::string_view text) override { WriteAll(STDOUT_FILENO, text); }
    void WriteStandardError(std::string_view text) override { WriteAll(STDERR_FILENO, text); }

private:
    std::vector<std::string> arguments_;
};

// Signals whose default action is not to end the process: they are left alone.
bool KeepsTheProcess(int signal) {
    switch (signal) {
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGKILL:
    // Ignored below: their failures are reported where they happen.
    case SIGPIPE:
    case SIGXFSZ:
        return true;
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer reports a fault itself, and its report is worth more than the status.
    case SIGSEGV:
    case SIGBUS:
    case SIGILL:
    case SIGFPE:
    case SIGABRT:
    case SIGTRAP:
        return true;
#endif
    default:
        return false;
    }
}

void EndOnSignal(int) { ::_exit(1); }

}  // namespace
}  // namespace linux_os

void PrepareProcess() {
    // Before anything opens a descriptor: one of 0 to 2 left closed by our starter would go
    // to the next socket or file, and a line meant for standard error with it.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF && ::open("/dev/null", O_RDWR | O_NOCTTY) != fd) ::_exit(1);
    }
    // Ended by a signal, a run would leave 128 + n, which reads as a verdict of 100 or
    // more: every signal that would end it ends it as a failed probe instead, at once and
    // without a log line, which a handler cannot write safely. A signal our starter chose
    // to ignore stays ignored; those that glibc keeps for itself refuse a handler.
    struct sigaction end {};
    end.sa_handler = linux_os::EndOnSignal;
    ::sigfillset(&end.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) {
        if (linux_os::KeepsTheProcess(signal)) continue;
        struct sigaction before {};
        if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
            (void)::sigaction(signal, &end, nullptr);
        }
    }
    // A failed write is reported where it happens: to a reader that has gone, it must not
    // end the run with a status of its own.
    ::signal(SIGPIPE, SIG_IGN);
    // A log grown past the file-size limit must fail its write like any other write
    // failure (status 1 and one line on standard error), not kill the run with a signal.
    ::signal(SIGXFSZ, SIG_IGN);
}

Machine MakeNativeMachine(int argc, char** argv) {
    Machine machine;
    machine.process = std::make_unique<linux_os::LinuxProcess>(argc, argv);
    machine.clock = linux_os::MakeClock();
    machine.files = linux_os::MakeFiles();
    machine.network = linux_os::MakeNetwork();
    return machine;
}

void EndProcess(int status) { ::_exit(status); }

}  // namespace pelldor::platform
