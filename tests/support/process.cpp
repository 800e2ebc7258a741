#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

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

    const auto start = steady_clock::now();
    const auto deadline = start + killAfter;
    pid_t pid = -1;
    const int spawnError = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
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

}  // namespace pelldor::testing
