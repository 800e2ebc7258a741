#include "support/process.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

extern char** environ;

namespace pelldor::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::strerror(errno));
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        CloseRead();
        CloseWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void CloseRead() {
        if (read >= 0) ::close(read);
        read = -1;
    }
    void CloseWrite() {
        if (write >= 0) ::close(write);
        write = -1;
    }
};

constexpr std::uint64_t kClockBit = std::uint64_t{1} << CAP_SYS_TIME;

bool IsExecutable(const fs::path& path) {
    std::error_code ignored;
    return fs::is_regular_file(path, ignored) && ::access(path.c_str(), X_OK) == 0;
}

void WriteText(int fd, const char* text) {
    std::size_t length = 0;
    while (text[length] != '\0') ++length;
    [[maybe_unused]] const ssize_t ignored = ::write(fd, text, length);
}

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

void Decode(int status, RunResult& result) {
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
}

}  // namespace

RunResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                     milliseconds killAfter) {
    RunResult result;
    Pipe out;
    Pipe err;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);

    std::vector<std::string> argvText{path};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& text : argvText) argv.push_back(text.data());
    argv.push_back(nullptr);

    // Every signal at its default and none blocked, whatever this process inherited.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    const auto start = steady_clock::now();
    const auto deadline = start + killAfter;
    pid_t pid = -1;
    const int spawnError = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    out.CloseWrite();
    err.CloseWrite();
    if (spawnError != 0) {
        result.startError = std::strerror(spawnError);
        return result;
    }
    result.started = true;

    const auto killOnce = [&] {
        if (!result.killed) ::kill(pid, SIGKILL);
        result.killed = true;
    };

    // Reading as the output comes keeps a chatty child from blocking on a full pipe.
    Pipe* const pipes[] = {&out, &err};
    std::string* const sinks[] = {&result.out, &result.err};
    while (out.read >= 0 || err.read >= 0) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0) {
            killOnce();
            break;
        }
        pollfd watch[2];
        for (int i = 0; i < 2; ++i) watch[i] = {pipes[i]->read, POLLIN, 0};
        if (::poll(watch, 2, static_cast<int>(left.count()) + 1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (watch[i].fd < 0 || watch[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = ::read(watch[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                pipes[i]->CloseRead();
            }
        }
    }

    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, result.killed ? 0 : WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) {
            result.startError = std::strerror(errno);
            break;
        }
        if (steady_clock::now() >= deadline) {
            killOnce();
            continue;
        }
        // The output is closed, so the end is a moment away at most.
        std::this_thread::sleep_for(milliseconds(1));
    }
    result.elapsed = duration_cast<milliseconds>(steady_clock::now() - start);
    Decode(status, result);
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

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string FindProgram(const std::string& name) {
    std::vector<std::string> folders;
    if (const char* path = std::getenv("PATH"); path != nullptr) {
        std::istringstream in(path);
        for (std::string folder; std::getline(in, folder, ':');) {
            if (!folder.empty()) folders.push_back(folder);
        }
    }
    // Servers and ip live in sbin folders, which a non-root PATH often leaves out.
    for (const char* folder : {"/usr/sbin", "/sbin", "/usr/local/sbin", "/usr/bin", "/bin", "/usr/local/bin"}) {
        folders.emplace_back(folder);
    }
    for (const auto& folder : folders) {
        const fs::path candidate = fs::path(folder) / name;
        if (IsExecutable(candidate)) return candidate.string();
    }
    return {};
}

std::vector<std::string> EnvironmentWithout(const std::vector<std::string>& prefixes) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        bool dropped = false;
        for (const auto& prefix : prefixes) dropped = dropped || text.starts_with(prefix);
        if (!dropped) env.emplace_back(text);
    }
    return env;
}

Daemon::Daemon(const DaemonSetup& setup) {
    std::vector<std::string> args = setup.args;
    std::vector<std::string> env = setup.env;
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int output = ::open(setup.output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int netns = setup.netns.empty() ? -2 : ::open(setup.netns.c_str(), O_RDONLY | O_CLOEXEC);
    const auto closeAll = [&] {
        for (const int fd : {input, output, netns}) {
            if (fd >= 0) ::close(fd);
        }
    };
    if (input < 0 || output < 0 || netns == -1) {
        const std::string why = std::strerror(errno);
        closeAll();
        throw std::runtime_error("cannot open the streams or the namespace of " + args.front() + ": " + why);
    }

    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        closeAll();
        throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    }
    if (child == 0) {
        // A test process that dies takes the server along.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(input, STDIN_FILENO);
        ::dup2(output, STDOUT_FILENO);
        ::dup2(output, STDERR_FILENO);
        if (netns >= 0 && ::setns(netns, CLONE_NEWNET) != 0) {
            WriteText(STDERR_FILENO, "pelldor tests: cannot enter the network namespace\n");
            ::_exit(125);
        }
        if (!DropClockCapability()) {
            WriteText(STDERR_FILENO, "pelldor tests: cannot drop CAP_SYS_TIME, not starting\n");
            ::_exit(126);
        }
        ::execve(argv[0], argv.data(), envp.data());
        WriteText(STDERR_FILENO, "pelldor tests: exec failed\n");
        ::_exit(127);
    }
    closeAll();
    pid_ = child;
}

Daemon::~Daemon() { Stop(); }

Daemon::Daemon(Daemon&& other) noexcept : pid_(std::exchange(other.pid_, -1)), ending_(std::move(other.ending_)) {}

Daemon& Daemon::operator=(Daemon&& other) noexcept {
    if (this != &other) {
        Stop();
        pid_ = std::exchange(other.pid_, -1);
        ending_ = std::move(other.ending_);
    }
    return *this;
}

bool Daemon::Running() {
    if (pid_ < 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    RunResult how;
    Decode(status, how);
    ending_ = how.exited ? "exited with status " + std::to_string(how.exitStatus)
                         : "ended by signal " + std::to_string(how.signal);
    pid_ = -1;
    return false;
}

void Daemon::Stop(milliseconds bound) {
    if (pid_ < 0) return;
    ::kill(pid_, SIGTERM);
    const auto deadline = steady_clock::now() + bound;
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

void CheckCannotSetClock(pid_t pid) {
    const std::string status = ReadWholeFile("/proc/" + std::to_string(pid) + "/status");
    std::vector<std::string> sets{"CapInh", "CapPrm", "CapEff", "CapAmb"};
    if (::geteuid() == 0) sets.emplace_back("CapBnd");
    for (const auto& set : sets) {
        const std::size_t at = status.find("\n" + set + ":");
        if (at == std::string::npos) {
            throw std::runtime_error("process " + std::to_string(pid) + " shows no " + set + ":\n" + status);
        }
        const std::uint64_t mask = std::stoull(status.substr(at + set.size() + 2), nullptr, 16);
        if ((mask & kClockBit) != 0) {
            throw std::runtime_error("process " + std::to_string(pid) + " holds CAP_SYS_TIME in " + set);
        }
    }
}

}  // namespace pelldor::testing
