#include "support/process.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string_view>
#include <thread>
#include <utility>

#include "support/polling.h"

extern char** environ;

namespace pelldor::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

constexpr std::uint64_t kClockBit = std::uint64_t{1} << CAP_SYS_TIME;

// In the child between fork and exec, so only system calls. Without CAP_SYS_TIME in the
// inheritable and ambient sets and the bounding set, exec cannot hand it back, not even to
// root; dropping from the bounding set needs CAP_SETPCAP, which only root has here.
bool DropClockCapability() {
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    ::prctl(PR_CAPBSET_DROP, CAP_SYS_TIME, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    const auto bit = static_cast<std::uint32_t>(kClockBit);
    data[0].effective &= ~bit;
    data[0].permitted &= ~bit;
    data[0].inheritable &= ~bit;
    if (::syscall(SYS_capset, &header, data) != 0) return false;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    return ::prctl(PR_CAPBSET_READ, CAP_SYS_TIME, 0, 0, 0) == 0 || ::geteuid() != 0;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Starts args[0] as our child with standard input from /dev/null, every signal at its
// default and none blocked; -1 when it cannot, with errno set. A server also enters the
// namespace (when `netns` is one), loses CAP_SYS_TIME, and ends with the test process.
pid_t Start(std::vector<std::string> args, std::vector<std::string> env, int out, int err, int netns = -1,
            bool server = false) {
    const std::vector<char*> argv = Pointers(args);
    const std::vector<char*> envp = Pointers(env);
    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = ::getpid();
    const pid_t child = input < 0 ? -1 : ::fork();
    if (child != 0) {
        const int error = errno;
        if (input >= 0) ::close(input);
        errno = error;
        return child;
    }
    const auto fail = [](int status, const char* why) {
        for (const char* part : {"pelldor tests: ", why, "\n"}) {
            [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, part, std::strlen(part));
        }
        ::_exit(status);
    };
    // A test process that dies takes the server along.
    if (server && (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)) ::_exit(127);
    ::dup2(input, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &byDefault, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (netns >= 0 && ::setns(netns, CLONE_NEWNET) != 0) fail(125, "cannot enter the network namespace");
    // Nothing else of ours or of whatever started the tests: a descriptor another thread
    // opened without O_CLOEXEC would count against a child's own limit ("ulimit -n 4").
    ::close_range(3, ~0U, 0);
    if (server && !DropClockCapability()) fail(126, "cannot drop CAP_SYS_TIME, not starting");
    ::execve(argv[0], argv.data(), envp.data());
    fail(127, argv[0]);
    return -1;
}

std::string HowItEnded(int status) {
    return WIFEXITED(status) ? "exited with status " + std::to_string(WEXITSTATUS(status))
                             : "ended by signal " + std::to_string(WTERMSIG(status));
}

}  // namespace

RunResult RunProgram(const std::string& path, const std::vector<std::string>& args, milliseconds killAfter) {
    // Files rather than pipes: a chatty child never blocks on a full one, and nothing needs
    // reading while it runs.
    const int out = ::memfd_create("out", MFD_CLOEXEC);
    const int err = ::memfd_create("err", MFD_CLOEXEC);
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
    RunResult result;
    const auto start = steady_clock::now();
    int status = -1;
    const pid_t pid = out < 0 || err < 0 ? -1 : Start(argv, env, out, err);
    for (pid_t done; pid > 0 && (done = ::waitpid(pid, &status, result.killed ? 0 : WNOHANG)) != pid &&
                     (done >= 0 || errno == EINTR);) {
        if (!result.killed && steady_clock::now() >= start + killAfter) {
            ::kill(pid, SIGKILL);
            result.killed = true;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    if (pid < 0) result.err = "pelldor tests: cannot start " + path + ": " + std::strerror(errno) + "\n";
    result.elapsed = duration_cast<milliseconds>(steady_clock::now() - start);
    result.exited = WIFEXITED(status);
    result.exitStatus = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    for (const auto& [fd, text] : {std::pair{out, &result.out}, std::pair{err, &result.err}}) {
        char buffer[4096];
        ::lseek(fd, 0, SEEK_SET);
        for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) text->append(buffer, static_cast<std::size_t>(got));
        ::close(fd);
    }
    return result;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/pelldor-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string CopyExecutable(const std::string& binary, const std::string& folder) {
    const fs::path target = fs::path(folder) / fs::path(binary).filename();
    fs::copy_file(binary, target, fs::copy_options::overwrite_existing);
    fs::permissions(target, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    return target.string();
}

std::string FindProgram(const std::string& name) {
    // Servers and ip live in sbin folders, which a non-root PATH often leaves out.
    const char* path = std::getenv("PATH");
    std::istringstream folders(std::string(path != nullptr ? path : "") +
                               ":/usr/sbin:/sbin:/usr/local/sbin:/usr/bin:/bin:/usr/local/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const fs::path candidate = fs::path(folder) / name;
        std::error_code ignored;
        if (!folder.empty() && fs::is_regular_file(candidate, ignored) && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    return {};
}

Daemon::Daemon(const DaemonSetup& setup) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (!text.starts_with("LD_PRELOAD=") && !text.starts_with("FAKETIME")) env.emplace_back(text);
    }
    env.insert(env.end(), setup.env.begin(), setup.env.end());
    const int output = ::open(setup.output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int netns = setup.netns.empty() ? -2 : ::open(setup.netns.c_str(), O_RDONLY | O_CLOEXEC);
    pid_ = output < 0 || netns == -1 ? -1 : Start(setup.args, env, output, output, netns, true);
    const std::string why = std::strerror(errno);
    for (const int fd : {output, netns}) {
        if (fd >= 0) ::close(fd);
    }
    if (pid_ < 0) throw std::runtime_error("cannot start " + setup.args.front() + ": " + why);
}

bool Daemon::Running() {
    int status = 0;
    if (pid_ < 0 || ::waitpid(pid_, &status, WNOHANG) != pid_) return pid_ >= 0;
    ending_ = HowItEnded(status);
    pid_ = -1;
    return false;
}

bool Daemon::AwaitReady(milliseconds bound, milliseconds every, const std::function<bool()>& ready) {
    const auto deadline = steady_clock::now() + bound;
    while (steady_clock::now() < deadline && Running()) {
        const auto asked = steady_clock::now();
        if (!ready()) {
            std::this_thread::sleep_until(asked + every);
            continue;
        }
        const std::string status = Contents("/proc/" + std::to_string(pid_) + "/status");
        std::vector<std::string> sets{"CapInh", "CapPrm", "CapEff", "CapAmb"};
        if (::geteuid() == 0) sets.emplace_back("CapBnd");
        for (const auto& set : sets) {
            const std::size_t at = status.find("\n" + set + ":");
            if (at == std::string::npos || (std::stoull(status.substr(at + set.size() + 2), nullptr, 16) & kClockBit) != 0) {
                throw std::runtime_error("process " + std::to_string(pid_) + " may hold CAP_SYS_TIME in " + set + ":\n" +
                                         status);
            }
        }
        return true;
    }
    return false;
}

void Daemon::Stop() {
    if (pid_ < 0) return;
    ::kill(pid_, SIGTERM);
    const auto deadline = steady_clock::now() + seconds(3);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    pid_ = -1;
    ending_ = "stopped";
}

}  // namespace pelldor::testing
