#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace pelldor::testing {

struct RunResult {
    bool started = false;
    std::string startError;  // why the program could not be started
    bool exited = false;     // ended through exit; else by a signal
    int exitStatus = -1;
    int signal = 0;
    bool killed = false;  // ran past its bound and was killed
    std::string out;
    std::string err;
    std::chrono::milliseconds elapsed{0};
};

// Runs the program with stdin from /dev/null and both output streams captured. A run
// still going after killAfter is ended with SIGKILL.
RunResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                     std::chrono::milliseconds killAfter);

// A fresh folder under the temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Copies an executable into the folder under its own name, still executable; returns the
// new path. Throws when the copy fails.
std::string CopyExecutable(const std::string& binary, const std::string& folder);

// The whole content of a file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace pelldor::testing
