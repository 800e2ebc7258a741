#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/polling.h"
#include "support/probe_run.h"
#include "support/process.h"
#include "support/responder.h"

// The real binary started, signalled and logging in ways that try to break it. Whatever
// happens, a run ends within its time bound, through exit, and never with a status that
// reads as a verdict it did not reach.
namespace pelldor::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;

// The /proc folder of the running probe started from the copy beside this log; empty
// before it has started. The probe itself says nothing.
fs::path ProcessOf(const std::string& log) {
    const fs::path copy = fs::path(log).parent_path() / fs::path(ProbeBinary()).filename();
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos && fs::read_symlink(entry.path() / "exe", error) == copy) {
            return entry.path();
        }
    }
    return {};
}

TEST(SlowNames, ASilentNameServerCostsOneResolverThreadHoweverManyRetries) {
    if (!CanIsolate()) GTEST_SKIP() << "no network namespace for a name lookup";
    if (UnderWine()) GTEST_SKIP() << "the probe is found and its threads counted as a Linux process; under Wine "
                                     "the process is Wine's loader, with threads of Wine's own";
    // In a namespace of its own the name server is a neighbour on a veth pair whose other
    // end takes nothing addressed to it: every query vanishes without an answer or an
    // error, as with a dead name server.
    const TempDir dir;
    const std::string resolvConf = dir.File("resolv.conf");
    std::ofstream(resolvConf) << "nameserver 10.213.0.2\noptions timeout:30 attempts:1\n";
    const std::string setUp =
        "ip link set lo up && ip link add v0 type veth peer name v1 && ip addr add 10.213.0.1/24 dev v0 && "
        "ip link set v0 up && ip link set v1 up && "
        "ip neigh add 10.213.0.2 lladdr 02:00:00:00:00:02 dev v0 nud permanent && "
        "mount --bind " + resolvConf + " /etc/resolv.conf && exec \"$0\" \"$@\"";
    std::atomic<int> most{0};
    std::atomic<int> samples{0};
    const auto watch = [&](const std::string& log, const std::atomic<bool>& over) {
        for (int i = 0; i < 1000 && !over; ++i) {
            const fs::path process = ProcessOf(log);
            std::error_code error;
            const int threads = process.empty() ? 0 : static_cast<int>(std::distance(
                                    fs::directory_iterator(process / "task", error), fs::directory_iterator()));
            if (threads > 0) ++samples;
            most = std::max(most.load(), threads);
            std::this_thread::sleep_for(10ms);
        }
    };
    // A negative timeout ends each attempt after its first poll: 101 attempts in about 2 s.
    const ProbeRun run = RunDropIn(-1, 100, "slow.example:123",
                                   {.via = {UnshareTool(), "--net", "--mount", "--", "/bin/sh", "-c", setUp},
                                    .during = watch});
    ExpectEndWithin(run, 0, -1, 100);
    EXPECT_GT(samples.load(), 10) << "the probe was not seen running";
    // The probe's own thread and the one resolver.
    EXPECT_LE(most.load(), 2) << Dump(run);
    EXPECT_GE(run.result.elapsed, 101 * 20ms) << "every attempt polled once";
}

// ---------------------------------------------------------------------------------------
// Whatever the process is started with or sent while it waits.

// A run against a silent server whose process, once its request is out, is handed to
// `act` by its /proc folder.
ProbeRun WhileItWaits(int timeout, std::vector<std::string> via, const std::function<void(const fs::path&)>& act) {
    NtpResponder server({.kind = ReplyKind::Silent});
    const auto watch = [&](const std::string& log, const std::atomic<bool>& over) {
        for (int i = 0; i < 1000 && !over && server.requests() == 0; ++i) std::this_thread::sleep_for(5ms);
        if (const fs::path process = ProcessOf(log); !process.empty()) act(process);
    };
    return RunDropIn(timeout, 0, server.Peer(), {.via = std::move(via), .during = watch});
}

TEST(HostileStart, ASignalThatWouldEndTheRunEndsItWithStatusOne) {
    if (UnderWine()) GTEST_SKIP() << "a Unix signal ends Wine's process; a close request is the Windows counterpart";
    // Left alone: those that do not end a process, those the probe ignores (it reports those
    // failures where they happen), and the two real-time signals glibc keeps for itself.
    std::set<int> harmless{SIGKILL, SIGSTOP, SIGCHLD, SIGCONT, SIGURG,  SIGWINCH,
                           SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE, SIGXFSZ};
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer keeps the faults, for its report.
    if (ProbeBinary() == BuiltBinary()) harmless.insert({SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP});
#endif
    for (int signal = 1; signal <= SIGRTMAX; ++signal) {
        if (harmless.contains(signal) || (signal > SIGSYS && signal < SIGRTMIN)) continue;
        SCOPED_TRACE(::testing::Message() << "signal " << signal << " (" << strsignal(signal) << ")");
        // A run the signal did not end waits for its timeout, and is killed long before.
        const ProbeRun run = WhileItWaits(kPatientTimeout, {}, [signal](const fs::path& process) {
            ::kill(std::stoi(process.filename().string()), signal);
        });
        ExpectEnd(run, 1);
    }
    // One the starter chose to ignore stays ignored: the run goes on to its real verdict.
    const ProbeRun run = WhileItWaits(1, {"/bin/sh", "-c", "trap '' TERM && exec \"$0\" \"$@\""},
                                      [](const fs::path& process) { ::kill(std::stoi(process.filename().string()), SIGTERM); });
    ExpectEnd(run, 0);
}

TEST(HostileStart, StandardDescriptorsClosedAtTheStartAreOpenOnDevNull) {
    if (UnderWine()) GTEST_SKIP() << "the descriptors seen are Wine's; Windows hands out no numbered ones";
    std::vector<std::string> targets;
    const ProbeRun run = WhileItWaits(1, {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"}, [&](const fs::path& process) {
        std::error_code closed;
        for (const char* fd : {"0", "1", "2"}) targets.push_back(fs::read_symlink(process / "fd" / fd, closed).string());
    });
    ExpectEnd(run, 0);
    EXPECT_EQ(targets, std::vector<std::string>(3, "/dev/null"));
}

TEST(HostileStart, WithoutProcTheLogIsBesideTheRealProgramAndNowhereElse) {
    if (UnderWine()) GTEST_SKIP() << "Windows tells the program its own path; /proc is not asked";
#ifdef __SANITIZE_ADDRESS__
    if (ProbeBinary() == BuiltBinary()) GTEST_SKIP() << "AddressSanitizer needs /proc itself and says so on stderr";
#endif
    const std::string hideProc = "mount -t tmpfs none /proc";
    const RunResult can = RunProgram(UnshareTool(), {"--mount", "--", "/bin/sh", "-c", hideProc}, 5s);
    if (!can.exited || can.exitStatus != 0) GTEST_SKIP() << "no mount namespace to hide /proc in";
    NtpResponder server;
    // Started from a folder beside the program's, holding a link to it and a log of its own.
    for (const std::string start : {"exec ./\"$name\" \"$@\"", "PATH=$real && exec \"$name\" \"$@\""}) {
        SCOPED_TRACE(start);
        const std::string script = hideProc + " && real=$(dirname \"$0\") && name=$(basename \"$0\") && cd \"$real/../elsewhere\" && " + start;
        const fs::path program = fs::path(ProbeBinary()).filename();
        const auto link = [&program](const std::string& folder) {
            const fs::path elsewhere = fs::path(folder).parent_path() / "elsewhere";
            fs::create_directory(elsewhere);
            fs::create_symlink(fs::path(folder) / program, elsewhere / program);
            std::ofstream(elsewhere / "ntpdebug.txt").flush();
        };
        std::string elsewhere = "unread";
        const ProbeRun run = RunDropIn(1, 0, server.Peer(),
                                       {.logging = true, .via = {UnshareTool(), "--mount", "--", "/bin/sh", "-c", script},
                                        .folder = "real", .prepare = link, .inspect = [&](const std::string& folder) {
                                            elsewhere = Contents(fs::path(folder).parent_path() / "elsewhere/ntpdebug.txt");
                                        }});
        ExpectEndWithin(run, 100, 1, 0);
        ExpectLog(run, AnsweredLog("1 0 " + server.Peer(), "127.0.0.1", std::to_string(server.port()), 100));
        EXPECT_EQ(elsewhere, "") << "logged beside the link or in the working folder";
    }
}

// ---------------------------------------------------------------------------------------
// The log file itself misbehaving.

// For ProbeSetup::during: once the first attempt has begun, so that logging is surely on
// and later lines are due, `change` is done to the log; `done` tells whether it was.
auto OnceSending(std::function<bool(const std::string& log)> change, std::atomic<bool>& done) {
    return [change = std::move(change), &done](const std::string& log, const std::atomic<bool>& over) {
        const auto giveUp = steady_clock::now() + 5s;
        while (!over && steady_clock::now() < giveUp) {
            if (Contents(log).find(" --> Sending Query") != std::string::npos) {
                done = change(log);
                return;
            }
            std::this_thread::sleep_for(5ms);
        }
    };
}

// Ended through exit with status 1 within its bound, after the one line of an unhandled
// error on standard error that names the log, in a folder `shown` as the log would show
// that name (unless standard error went nowhere), and nothing on standard output.
void ExpectFailedAppend(const ProbeRun& run, int timeout, bool heard = true, const std::string& shown = "") {
    EXPECT_TRUE(run.result.exited && run.result.exitStatus == 1 && run.result.out.empty()) << Dump(run);
    EXPECT_LE(run.result.elapsed, Bound(run, timeout, 0)) << Dump(run);
    const std::string& err = run.result.err;
    EXPECT_TRUE(!heard || (err.starts_with("pelldor: unhandled error: file operation: cannot append to ") &&
                           err.find('\n') == err.size() - 1 && err.find(shown) != std::string::npos &&
                           err.find("ntpdebug.txt: ") != std::string::npos))
        << err;
}

// Every name under `root` with what it is: a folder, a link and its target, or a file and
// its bytes (the program's copy by its size).
std::map<std::string, std::string> Snapshot(const fs::path& root) {
    std::map<std::string, std::string> seen;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = entry.path().lexically_relative(root).string();
        if (entry.is_symlink()) {
            seen[name] = "link to " + fs::read_symlink(entry.path()).string();
        } else if (entry.is_directory()) {
            seen[name] = "folder";
        } else if (entry.path().filename() == fs::path(ProbeBinary()).filename()) {
            seen[name] = "program of " + std::to_string(entry.file_size()) + " bytes";
        } else {
            seen[name] = "file: " + Contents(entry.path());
        }
    }
    return seen;
}

TEST(HostileLog, DeletedDuringTheRunItIsCreatedAgainWithTheLaterLines) {
    NtpResponder server({.kind = ReplyKind::Silent});
    const std::string port = std::to_string(server.port());
    std::atomic<bool> deleted{false};
    const auto deleter = OnceSending([](const std::string& log) { return fs::remove(log); }, deleted);
    const ProbeRun run = RunDropIn(1, 1, server.Peer(), {.logging = true, .during = deleter});
    ASSERT_TRUE(deleted);
    ExpectEndWithin(run, 0, 1, 1);
    EXPECT_EQ(server.requests(), 2);
    ExpectLog(run,
              {" --> Sending Query to 127.0.0.1 on port " + port, " --- Server Time: n/a", " --- Local  Time: {ts}",
               " Return Value: 0"},
              {"Error 5: No answer within 1 s (netClock_Error)", 2});
}

// A link to a file outside, owned by someone it must not be trusted from.
void PlantLink(const fs::path& folder) {
    std::ofstream(folder.parent_path() / "outside.txt") << "not the log\n";
    fs::create_symlink(folder.parent_path() / "outside.txt", folder / "ntpdebug.txt");
}

// What stands in the log's place at the start leaves logging off: the run ends as one
// without a log would, and nothing on the way is written, created or removed.
TEST(HostileLog, WhatCannotBeTheLogAtTheStartLeavesLoggingOff) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& folder)> plant;
        bool answers = true;
        bool linuxRule = false;  // the rule for links on the way to the log, which Windows has not
    };
    const auto asFolder = [](const fs::path& folder) { fs::create_directory(folder / "ntpdebug.txt"); };
    const Case cases[] = {
        {"a folder named like the log", asFolder},
        // Logging on would have meant appending to a folder: status 1 and a line on stderr.
        {"a folder named like the log, and a closed port", asFolder, false},
        {"a link in a folder that others may write",
         [](const fs::path& folder) {
             PlantLink(folder);
             fs::permissions(folder, fs::perms::all);
         },
         true, true},
        {"a link that another user owns",
         [](const fs::path& folder) {
             PlantLink(folder);
             ASSERT_EQ(::lchown((folder / "ntpdebug.txt").c_str(), 65534, 65534), 0) << std::strerror(errno);
         },
         true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.linuxRule && UnderWine()) continue;
        std::optional<NtpResponder> server;
        if (c.answers) server.emplace();
        const std::string peer = server ? server->Peer() : "127.0.0.1:" + std::to_string(ClosedPort());
        std::map<std::string, std::string> before;
        std::map<std::string, std::string> after;
        const ProbeRun run = RunDropIn(
            1, 0, peer,
            {.folder = "run",
             .prepare =
                 [&](const std::string& folder) {
                     c.plant(folder);
                     before = Snapshot(fs::path(folder).parent_path());
                 },
             .inspect = [&](const std::string& folder) { after = Snapshot(fs::path(folder).parent_path()); }});
        ExpectEndWithin(run, c.answers ? 100 : 0, 1, 0);
        EXPECT_FALSE(before.empty());
        EXPECT_EQ(after, before);
    }
}

// Root may write to any file whatever its mode, but not to a kernel attribute that has no
// writer; such a file stats as an ordinary file.
std::string UnwritableRegularFile() {
    for (const char* path : {"/sys/devices/system/cpu/online", "/sys/devices/system/cpu/possible",
                             "/sys/devices/system/cpu/present", "/sys/kernel/mm/transparent_hugepage/hpage_pmd_size"}) {
        struct stat info {};
        if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) continue;
        const int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0) return path;
        close(fd);
    }
    return {};
}

TEST(HostileLog, ASwitchFileThatCannotBeAppendedToEndsWithStatusOne) {
    const std::string target = UnwritableRegularFile();
    if (target.empty()) GTEST_SKIP() << "no regular file here that cannot be opened for appending";
    NtpResponder server;
    const ProbeRun run =
        RunDropIn(1, 0, server.Peer(),
                  {.prepare = [&](const std::string& folder) { fs::create_symlink(target, folder + "/ntpdebug.txt"); }});
    ExpectFailedAppend(run, 1);
}

// Swapped once the run has begun, the log fails its next append at once; whatever stands in
// its place is left as it was.
TEST(HostileLog, ALogSwappedDuringTheRunFailsItsNextAppend) {
    if (UnderWine()) GTEST_SKIP() << "Windows keeps no FIFO in a folder, and has not the rule for links";
    struct Case {
        const char* name;
        std::function<bool(const std::string& log)> swap;
        std::string outside;  // what the file outside holds after the run
    };
    const Case cases[] = {
        {"for a FIFO", [](const std::string& log) { return fs::remove(log) && ::mkfifo(log.c_str(), 0644) == 0; }, ""},
        {"for a link that another user owns",
         [](const std::string& log) {
             fs::remove(log);
             PlantLink(fs::path(log).parent_path());
             return ::lchown(log.c_str(), 65534, 65534) == 0;
         },
         "not the log\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NtpResponder server({.kind = ReplyKind::Silent});
        std::atomic<bool> swapped{false};
        std::string outside;
        const ProbeRun run = RunDropIn(2, 0, server.Peer(),
                                       {.logging = true, .folder = "run", .during = OnceSending(c.swap, swapped),
                                        .inspect = [&](const std::string& folder) {
                                            outside = Contents(fs::path(folder).parent_path() / "outside.txt");
                                        }});
        ASSERT_TRUE(swapped);
        ExpectFailedAppend(run, 2);
        EXPECT_EQ(outside, c.outside);
    }
}

TEST(HostileLog, AtTheFileSizeLimitOnlyWholeEntriesStayAndTheRunEndsWithStatusOne) {
    if (UnderWine()) GTEST_SKIP() << "a Unix file-size limit, which Windows lacks: SIGXFSZ ends Wine itself";
    struct Case {
        const char* name;
        int size;  // of the log before the start; dash counts the limit of 1024 in 512-byte blocks
        bool errorReaderGone = false;
        std::string folder{};  // and as the log would show it
        std::string shown{};
        bool startFits = false;  // the start entry fits, and an argument error's line would
    };
    const Case cases[] = {
        {"past the limit already, in a folder whose name breaks the line", 4096, false, "line\nbreak",
         "line\\nbreak"},
        {"room for part of the start entry", 1000},
        {"the same with standard error's reader gone", 1000, true},
        // 40 bytes after the start entry's 29: its command line's (over 50) cannot follow,
        // while an argument error's line (36) could.
        {"room for the start entry and no command line", 955, false, "", "", true},
    };
    const std::regex start(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d Start)");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NtpResponder server;
        std::vector<std::string> via{"/bin/sh", "-c", "ulimit -f 2 && exec \"$0\" \"$@\""};
        if (c.errorReaderGone) std::ranges::copy(WithReaderGone("stderr"), std::back_inserter(via));
        const std::string kept(c.size, '.');
        const ProbeRun run =
            RunDropIn(1, 0, server.Peer(), {.logging = true, .via = via, .folder = c.folder, .prepare = [&](const std::string& folder) {
                                                std::ofstream(folder + "/ntpdebug.txt") << kept;
                                            }});
        ExpectFailedAppend(run, 1, !c.errorReaderGone, c.shown);
        if (c.startFits) {
            ASSERT_EQ(run.lines.size(), 2u) << Dump(run);
            EXPECT_EQ(run.lines[0], kept);
            EXPECT_TRUE(std::regex_match(run.lines[1], start)) << Dump(run);
            EXPECT_EQ(run.tail, "");
        } else {
            EXPECT_TRUE(run.lines.empty() && run.tail == kept) << "part of an entry was left: " << Dump(run);
        }
        EXPECT_EQ(server.requests(), 0) << "the run went on without its log";
    }
}

}  // namespace
}  // namespace pelldor::testing
