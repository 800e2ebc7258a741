// What only the Linux machine has: its command line from argv, names that would reach a
// name server, record locks, and the rule for the folders and links on the way to the log.
// Its program folder, with /proc and without, the system tests find the log in.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/native.h"
#include "support/polling.h"

namespace pelldor::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Contents;
using testing::Outcome;

TEST(PlatformLinux, CommandLineTailJoinsWithBlanksAndQuotesOnlyWhereNeeded) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, ""},
        {{"pelldor"}, ""},
        {{"/opt/pelldor/pelldor", "5", "2", "host:123"}, "5 2 host:123"},
        {{"pelldor", "5", "2", "my host:123"}, R"(5 2 "my host:123")"},
        {{"pelldor", "a\tb", "c"}, "\"a\tb\" c"},
        {{"pelldor", "", "x", ""}, R"("" x "")"},
        {{"pelldor", "-1", "x,y"}, "-1 x,y"},
    };
    for (const auto& [arguments, tail] : cases) {
        std::vector<std::string> argv = arguments;
        std::vector<char*> pointers;
        for (auto& argument : argv) pointers.push_back(argument.data());
        const Machine machine = MakeNativeMachine(static_cast<int>(pointers.size()), pointers.data());
        EXPECT_EQ(machine.process->CommandLineTail(), tail);
        EXPECT_EQ(machine.process->Arguments(), std::vector(argv.begin() + (argv.empty() ? 0 : 1), argv.end())) << tail;
    }
}

// In a network namespace whose only interface is a loopback that is down, a query cannot
// leave this machine. The child's status counts the names that did not fail as they should.
TEST(PlatformLinux, UnknownAndMalformedNamesFail) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNET) != 0) ::_exit(77);
        const Machine machine = MakeNativeMachine(0, nullptr);
        // Dropped while pending: its resolver thread must finish on its own without harm.
        { auto abandoned = machine.network->StartLookup("also-no-such-host.invalid", 123); }
        int wrong = 0;
        for (const std::string& name : {std::string("no-such-host.invalid"), std::string(1000, 'a'), std::string("300.1.2.3.4")}) {
            auto lookup = machine.network->StartLookup(name, 123);
            wrong += testing::AwaitLookup(*lookup) == LookupStatus::Failed && lookup->Failure().failed() &&
                             lookup->Addresses().empty()
                         ? 0
                         : 1;
        }
        ::_exit(wrong);
    }
    int status = -1;
    for (int polls = 0; child > 0 && polls < 3000 && ::waitpid(child, &status, WNOHANG) == 0; ++polls) {
        std::this_thread::sleep_for(10ms);  // 30 s at most
    }
    if (status == -1 && child > 0 && ::kill(child, SIGKILL) == 0) ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "the child did not end by itself";
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no network namespace can be made here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "names that resolved, or failed without a reason";
}

class PlatformLinuxFolder : public testing::ScratchFolder {
protected:
    Machine machine_ = MakeNativeMachine(0, nullptr);
    Files& files_ = *machine_.files;
};

// Whoever may only read the log (a tail, a viewer, a backup) can take a read lock, or any
// flock: neither may fail a run or hold it up. Another run's write lock is waited for about
// a second, then the entry fails rather than lands amid that run's. Each lock is held
// through a descriptor of its own, as another process would hold it.
TEST_F(PlatformLinuxFolder, AReadersLockNeverHoldsARunUpAndAWritersFailsItAfterASecond) {
    struct Case {
        const char* who;
        int access;
        int command;  // F_SETLK or F_OFD_SETLK for a record lock, 0 for flock
        short type;
        bool waits;
    };
    const Case cases[] = {
        {"a reader's flock", O_RDONLY, 0, 0, false},
        {"a writer's flock", O_WRONLY, 0, 0, false},
        {"a reader's record lock", O_RDONLY, F_SETLK, F_RDLCK, false},
        {"a reader's open-file lock", O_RDONLY, F_OFD_SETLK, F_RDLCK, false},
        {"a writer's record lock", O_WRONLY, F_SETLK, F_WRLCK, true},
        {"another run's open-file lock", O_WRONLY, F_OFD_SETLK, F_WRLCK, true},
    };
    const fs::path log = dir_ / "ntpdebug.txt";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.who);
        std::ofstream(log, std::ios::trunc).close();
        const int holder = ::open(log.c_str(), c.access | O_CLOEXEC);
        struct flock whole {};
        whole.l_type = c.type;
        whole.l_whence = SEEK_SET;
        const int entries = c.waits ? 1 : 5;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < entries; ++i) {
            // Taken again each time: the run's own close lets go of this process's record
            // locks of the old kind.
            ASSERT_EQ(c.command == 0 ? ::flock(holder, LOCK_EX | LOCK_NB) : ::fcntl(holder, c.command, &whole), 0);
            EXPECT_EQ(Outcome(files_.AppendToFile(log, "entry\n")), c.waits ? "failed: Locked by another process" : "written");
        }
        const auto took = std::chrono::steady_clock::now() - start;
        ::close(holder);
        if (c.waits) {
            EXPECT_GE(took, 900ms);
            EXPECT_LT(took, 20s);
        } else {
            EXPECT_LT(took, 3s) << "waited for a lock that holds back only writers";
        }
        EXPECT_EQ(Contents(log), c.waits ? "" : "entry\nentry\nentry\nentry\nentry\n");
    }
}

// Where another user could plant a link or swap a file, the log is refused and nothing is
// written through it: the way to the file must lie in folders that only root and the
// running user can change (a sticky folder lets each remove only its own entries), each
// link owned by root, the running user or its folder's owner.
TEST_F(PlatformLinuxFolder, ALogOnAWayAnotherUserCouldChangeIsRefused) {
    const passwd* nobody = ::getpwnam("nobody");
    const uid_t other = nobody != nullptr ? nobody->pw_uid : 65534;
    struct Case {
        const char* way;
        bool accepted;
        // Made in order: "name/ mode" a folder, "name -> target" a link, else a file; a
        // trailing " theirs" gives it to another user, which only root can.
        std::vector<std::string> made;
        const char* log;
        const char* target;  // empty where there is none
        const char* refusal = "A link or a folder on the way may be changed by another user";
    };
    const Case cases[] = {
        {"a file in a folder only we may change", true, {"ours/ 0755", "ours/log"}, "ours/log", "ours/log"},
        {"a new file in a folder anyone may change", false, {"open/ 0777"}, "open/log", "open/log"},
        {"a file in a folder its group may change", false, {"group/ 0775", "group/log"}, "group/log", "group/log"},
        {"a file in a sticky folder anyone may change", true, {"sticky/ 1777", "sticky/log"}, "sticky/log", "sticky/log"},
        {"a link of ours in a sticky folder", true,
         {"sticky/ 1777", "ours/ 0755", "ours/log", "sticky/log -> ../ours/log"}, "sticky/log", "ours/log"},
        {"a link in a folder anyone may change", false,
         {"open/ 0777", "ours/ 0755", "ours/log", "open/log -> ../ours/log"}, "open/log", "ours/log"},
        {"a second link on the way in a folder anyone may change", false,
         {"open/ 0777", "ours/ 0755", "ours/log", "open/hop -> ../ours/log", "ours/first -> ../open/hop"}, "ours/first",
         "ours/log"},
        {"a link to a file in a folder anyone may change", false,
         {"open/ 0777", "ours/ 0755", "open/log", "ours/log -> ../open/log"}, "ours/log", "open/log"},
        // Not refused by the rule: the open itself says what is wrong.
        {"a loop of links", false, {"ours/ 0755", "ours/a -> b", "ours/b -> a"}, "ours/a", "", std::strerror(ELOOP)},
        {"a link in a folder another user owns", false,
         {"theirs/ 0755 theirs", "ours/ 0755", "ours/log", "theirs/log -> ../ours/log"}, "theirs/log", "ours/log"},
        {"a link another user owns, in a folder only we may change", false,
         {"ours/ 0755", "ours/target", "ours/log -> target theirs"}, "ours/log", "ours/target"},
        {"a link another user owns, in a sticky folder", false,
         {"sticky/ 1777", "ours/ 0755", "ours/log", "sticky/log -> ../ours/log theirs"}, "sticky/log", "ours/log"},
        // The Debian package's: root's link in root's folder to the file of the user the
        // probe runs as, in another folder of root's.
        {"the package's layout", true,
         {"log/ 0755", "var/ 0755", "var/ntpdebug.txt theirs", "log/ntpdebug.txt -> ../var/ntpdebug.txt"},
         "log/ntpdebug.txt", "var/ntpdebug.txt"},
    };
    int skipped = 0;
    for (std::size_t row = 0; row < std::size(cases); ++row) {
        const Case& c = cases[row];
        SCOPED_TRACE(c.way);
        const fs::path place = dir_ / std::to_string(row);
        fs::create_directory(place);
        bool made = true;
        for (std::string entry : c.made) {
            const bool theirs = entry.ends_with(" theirs");
            if (theirs) entry.resize(entry.size() - 7);
            if (theirs && ::geteuid() != 0) made = false;
            if (!made) break;
            const auto arrow = entry.find(" -> ");
            const auto slash = entry.find("/ ");
            const fs::path path = place / entry.substr(0, std::min(arrow, slash));
            if (arrow != std::string::npos) {
                fs::create_symlink(entry.substr(arrow + 4), path);
            } else if (slash != std::string::npos) {
                fs::create_directory(path);
                ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(std::stoi(entry.substr(slash + 2), nullptr, 8))), 0);
            } else {
                std::ofstream(path).close();
            }
            if (theirs) {
                ASSERT_EQ(::lchown(path.c_str(), other, static_cast<gid_t>(-1)), 0);
            }
        }
        if (!made) {
            ++skipped;
            continue;
        }
        const fs::path target = *c.target ? place / c.target : fs::path();
        const std::string before = fs::exists(target) ? "" : "none";
        EXPECT_EQ(files_.IsSafeRegularFile(place / c.log), c.accepted);
        const Appended appended = files_.AppendToFile(place / c.log, "entry\n");
        EXPECT_EQ(Outcome(appended), c.accepted ? std::string("written") : std::string("failed: ") + c.refusal);
        EXPECT_EQ(fs::exists(target) ? Contents(target) : "none", c.accepted ? "entry\n" : before);
    }
    if (skipped > 0) GTEST_SKIP() << skipped << " ways need another user's files, which only root can make";
}

}  // namespace
}  // namespace pelldor::platform
