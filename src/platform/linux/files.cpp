#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "platform/linux/roles.h"

namespace pelldor::platform::linux_os {
namespace {

// Links followed on the way to the log before the path counts as a loop.
constexpr int kMostLinks = 16;
// A writer's lock is waited for this many times a millisecond: about a second.
constexpr int kLockTries = 1000;

std::string ErrorText(int error) { return std::strerror(error); }

Appended Failed(std::string why) { return {Appended::Status::Failed, std::move(why)}; }

// The folder of an absolute path.
std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Someone other than root and the running user may add, remove or rename entries of this
// folder; with the sticky bit only their owners may remove or rename them.
bool OthersMayChange(const struct stat& folder) {
    if (folder.st_uid != 0 && folder.st_uid != ::geteuid()) return true;
    return (folder.st_mode & S_ISVTX) == 0 && (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// The path of the file that `path` leads to, reached through links that nobody else could
// have planted, in folders that nobody else can change: the rule of OpenSSH's StrictModes
// and of the kernel's protected_symlinks, applied to the whole way. Nullopt where the rule
// refuses it. Where the way cannot be followed (a folder missing, a link unreadable) the
// path reached so far is returned, so that opening it gives the system's own reason; the
// open follows no link, so it cannot go further than was checked.
std::optional<std::string> SafeTarget(std::string path) {
    for (int links = 0; links <= kMostLinks; ++links) {
        if (path.empty() || path.front() != '/') return std::nullopt;
        const std::string folder = DirectoryOf(path);
        struct stat dir {};
        if (::stat(folder.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode)) return path;
        if (OthersMayChange(dir)) return std::nullopt;
        struct stat entry {};
        if (::lstat(path.c_str(), &entry) != 0 || !S_ISLNK(entry.st_mode)) return path;
        if (entry.st_uid != 0 && entry.st_uid != ::geteuid() && entry.st_uid != dir.st_uid) return std::nullopt;
        std::string target(4096, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return path;
        target.resize(static_cast<std::size_t>(length));
        path = target.front() == '/' ? target : folder + (folder == "/" ? "" : "/") + target;
    }
    // A loop of links: the open of the last one refuses it for what it is.
    return path;
}

// Writes all of the text, in a single call unless the system takes only part of it, and
// counts into `written` what went out.
int WriteAll(int fd, std::string_view text, std::size_t& written) {
    written = 0;
    while (written < text.size()) {
        const ssize_t got = ::write(fd, text.data() + written, text.size() - written);
        if (got >= 0) {
            written += static_cast<std::size_t>(got);
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

void Nap(long nanoseconds) {
    timespec pause{0, nanoseconds};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

enum class Lock { Held, Unheld, Busy };

// Appending runs take turns through an exclusive lock on the log, held from the write
// until a short write is cut back off, so no other run's entry can land between the two.
// The lock is a record lock of the open file: only a descriptor open for writing can take
// one that conflicts with it, so a reader's lock (which needs only read access) never
// holds a run up: such a lock is noticed and the entry goes in without one. A writer's
// lock held for more than a second (by a stopped process) fails the append.
Lock LockForAppend(int fd) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    for (int tries = 0; ::fcntl(fd, F_OFD_SETLK, &whole) != 0; ++tries) {
        // A file system without such locks still takes the entry.
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) return Lock::Unheld;
        struct flock holder = whole;
        if (::fcntl(fd, F_OFD_GETLK, &holder) == 0 && holder.l_type == F_RDLCK) return Lock::Unheld;
        if (tries == kLockTries) return Lock::Busy;
        Nap(1'000'000);
    }
    return Lock::Held;
}

// Only whole entries: a write cut short at the file-size limit or on a full disk is cut
// back off, but only while the file still ends with it, so that nothing written after it
// by a writer that takes no lock is lost.
std::string AppendWhole(int fd, std::string_view text) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return ErrorText(errno);
    if (!S_ISREG(info.st_mode)) return "Not a regular file";
    if (LockForAppend(fd) == Lock::Busy) return "Locked by another process";
    std::size_t written = 0;
    const int error = WriteAll(fd, text, written);
    if (error == 0) return {};
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    const auto ours = static_cast<off_t>(written);
    if (ours > 0 && end >= ours && ::fstat(fd, &info) == 0 && info.st_size == end) {
        [[maybe_unused]] const int ignored = ::ftruncate(fd, end - ours);
    }
    return ErrorText(error);
}

class LinuxFiles final : public Files {
public:
    std::string ExecutableDirectory() override {
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
        // Without /proc: the path the kernel was given at exec, its links resolved. A
        // relative one was given from the folder we started in, which the program never
        // leaves.
        const auto* given = reinterpret_cast<const char*>(::getauxval(AT_EXECFN));
        if (char* real = given != nullptr ? ::realpath(given, nullptr) : nullptr) {
            const std::string path = real;
            std::free(real);
            return DirectoryOf(path);
        }
        return {};
    }

    char PathSeparator() const override { return '/'; }

    bool IsSafeRegularFile(const std::string& path) override {
        const auto target = SafeTarget(path);
        struct stat info {};
        return target && ::lstat(target->c_str(), &info) == 0 && S_ISREG(info.st_mode);
    }

    Appended AppendToFile(const std::string& path, std::string_view text) override {
        const auto target = SafeTarget(path);
        if (!target) return Failed("A link or a folder on the way may be changed by another user");
        int fd = -1;
        do {
            // Without blocking: a FIFO or a device swapped in for the log must not hold the
            // run; and without following a link that appeared since the way was checked.
            fd = ::open(target->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW,
                        0644);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) return Failed(ErrorText(errno));
        std::string failure = AppendWhole(fd, text);
        // A failed close can be the first news of a lost write on some file systems.
        if (::close(fd) != 0 && errno != EINTR && failure.empty()) failure = ErrorText(errno);
        return failure.empty() ? Appended{} : Failed(failure);
    }
};

}  // namespace

std::unique_ptr<Files> MakeFiles() { return std::make_unique<LinuxFiles>(); }

}  // namespace pelldor::platform::linux_os
