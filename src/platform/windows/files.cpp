#include <windows.h>

#include <string>

#include "platform/windows/roles.h"
#include "platform/windows/windows_text.h"

namespace pelldor::platform::windows {
namespace {

// Of 10 ms each, for a log that another program holds without sharing it or whose lock
// it holds: about a second, once a run.
constexpr int kPatientWaits = 100;
constexpr std::int64_t kWaitStep = 10'000'000;

std::wstring WidePath(const std::string& path) {
    const std::u16string wide = LongPathForm(ToUtf16(path));
    return {wide.begin(), wide.end()};
}

// Writes all of the text, in a single call unless the system takes less.
DWORD WriteAll(HANDLE file, std::string_view text, std::uint64_t& taken) {
    while (!text.empty()) {
        const DWORD chunk = text.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(text.size());
        DWORD written = 0;
        const bool done = ::WriteFile(file, text.data(), chunk, &written, nullptr);
        taken += written;
        if (!done) return ::GetLastError();
        if (written == 0) return ERROR_WRITE_FAULT;
        text.remove_prefix(written);
    }
    return ERROR_SUCCESS;
}

// An entry the disk or a quota took only part of is cut back off while nothing has
// followed it, so that the log keeps whole entries. The append handle cannot move the end
// of the file, so a second one does.
void CutBack(const std::wstring& path, HANDLE file, std::uint64_t written) {
    LARGE_INTEGER end{};
    LARGE_INTEGER size{};
    if (written == 0 || !::SetFilePointerEx(file, {}, &end, FILE_CURRENT) || !::GetFileSizeEx(file, &size) ||
        size.QuadPart != end.QuadPart || static_cast<std::uint64_t>(end.QuadPart) < written) {
        return;
    }
    const HANDLE writer = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (writer == INVALID_HANDLE_VALUE) return;
    FILE_END_OF_FILE_INFO cut{};
    cut.EndOfFile.QuadPart = end.QuadPart - static_cast<LONGLONG>(written);
    (void)::SetFileInformationByHandle(writer, FileEndOfFileInfo, &cut, sizeof cut);
    ::CloseHandle(writer);
}

Appended Failed(DWORD error) { return {Appended::Status::Failed, FileErrorText(error)}; }

class WindowsFiles final : public Files {
public:
    WindowsFiles(Clock& clock, Process& process) : clock_(clock), process_(process) {}

    std::string ExecutableDirectory() override {
        std::wstring path(MAX_PATH, L'\0');
        for (;;) {
            const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
            // No folder rather than a guessed one: without it, there is no log.
            if (length == 0) return {};
            if (length < path.size()) {
                path.resize(length);
                break;
            }
            // Cut short: try again with room to spare.
            path.resize(path.size() * 2);
        }
        return DirectoryOf(ToUtf8(std::u16string(path.begin(), path.end())));
    }

    char PathSeparator() const override { return '\\'; }

    // Creating a link needs a privilege that only administrators hold, and a folder's
    // rights are in its access list: there is no folder anyone may write by default.
    bool IsSafeRegularFile(const std::string& path) override {
        const DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    }

    Appended AppendToFile(const std::string& path, std::string_view text) override {
        const std::wstring wide = WidePath(path);
        // Append-only access makes every write land at the end of the file, whoever else is
        // appending; the sharing lets other probes (and a reader) have it open meanwhile.
        // A scanner, a backup or a viewer may hold the log for a moment without sharing it.
        HANDLE file = INVALID_HANDLE_VALUE;
        for (;;) {
            file = ::CreateFileW(wide.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) break;
            const DWORD error = ::GetLastError();
            if (error != ERROR_SHARING_VIOLATION) return Failed(error);
            if (!Patient()) return {Appended::Status::PassedOver, FileErrorText(error)};
        }
        // A pipe or a device in the log's place would take the entry elsewhere, or hold it.
        if (::GetFileType(file) != FILE_TYPE_DISK) {
            ::CloseHandle(file);
            return {Appended::Status::Failed, "Not a regular file"};
        }
        // Probes appending at once take turns through a lock on one byte far past any end
        // the log will reach: Windows' byte locks are mandatory, so none may cover what
        // appends write. Anyone who can read the file can take it too, so a lock that stays
        // taken past the patience is gone without: only a short write's repair needs it.
        OVERLAPPED beyond{};
        beyond.Offset = 0xFFFFFFFE;
        beyond.OffsetHigh = 0x7FFFFFFF;
        while (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &beyond)) {
            // A file system without such locks still takes the entry.
            if (::GetLastError() != ERROR_LOCK_VIOLATION || !Patient()) break;
        }
        std::uint64_t written = 0;
        const DWORD writeError = WriteAll(file, text, written);
        if (writeError != ERROR_SUCCESS) CutBack(wide, file, written);
        const DWORD closeError = ::CloseHandle(file) ? ERROR_SUCCESS : ::GetLastError();
        if (writeError != ERROR_SUCCESS) return Failed(writeError);
        if (closeError != ERROR_SUCCESS) return Failed(closeError);
        return {};
    }

private:
    // Whether to wait once more for another program's hold: a run has about a second of
    // patience in all, however many entries and holds it meets, and afterwards tries each
    // append only once.
    bool Patient() {
        if (patienceLeft_ == 0) return false;
        --patienceLeft_;
        clock_.WaitUntil(clock_.MonotonicNanos() + kWaitStep, {});
        process_.DispatchSystemMessages();
        return true;
    }

    Clock& clock_;
    Process& process_;
    int patienceLeft_ = kPatientWaits;
};

}  // namespace

std::unique_ptr<Files> MakeFiles(Clock& clock, Process& process) {
    return std::make_unique<WindowsFiles>(clock, process);
}

}  // namespace pelldor::platform::windows
