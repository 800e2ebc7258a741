#pragma once

#include <string>
#include <string_view>

// The few files the program touches: the log beside its executable.
namespace pelldor::platform {

struct Appended {
    enum class Status {
        Written,
        // Another program holds the file without sharing it, past about a second of
        // patience: the text is left out, and whoever can only read the file cannot make
        // the run fail or wait longer.
        PassedOver,
        Failed,
    };
    Status status = Status::Written;
    std::string failure;  // why it failed, the system's own text where it has one
};

class Files {
public:
    virtual ~Files() = default;

    // The real folder of the program's file; empty when it cannot be known, and then the
    // run has no log rather than one in a guessed place.
    virtual std::string ExecutableDirectory() = 0;
    virtual char PathSeparator() const = 0;
    // Whether `path` names an ordinary file, directly or through links, that may be
    // written: where the system lets others swap files (Unix folders), the file and every
    // link on the way to it must lie in folders that only root and the running user can
    // change, and each link must belong to root, the running user or its folder's owner.
    virtual bool IsSafeRegularFile(const std::string& path) = 0;
    // Opens for appending (creating the file when missing, by the same rule) without
    // blocking, writes the text in one piece and closes; anything but such an ordinary file
    // fails, and a write cut short leaves nothing of the text behind where nothing followed
    // it.
    [[nodiscard]] virtual Appended AppendToFile(const std::string& path, std::string_view text) = 0;
};

}  // namespace pelldor::platform
