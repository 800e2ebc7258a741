#include "platform/windows/windows_text.h"

namespace pelldor::platform::windows {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
// MAX_PATH less the room that Windows keeps for an 8.3 file name inside a folder path.
constexpr std::size_t kClassicPathLimit = 260 - 12;

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 | (c >> 10));
        out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
    }
}

// One code point from the front of UTF-8 text; an ill-formed sequence gives U+FFFD for its
// first byte alone, so that decoding resumes at the next.
char32_t TakeUtf8(std::string_view& text) {
    const auto lead = static_cast<unsigned char>(text.front());
    text.remove_prefix(1);
    if (lead < 0x80) return lead;
    std::size_t length = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 1, c = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 2, c = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 3, c = lead & 0x07, least = 0x10000;
    } else {
        return kReplacement;
    }
    if (text.size() < length) return kReplacement;
    for (std::size_t i = 0; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) return kReplacement;
        c = c << 6 | (next & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return kReplacement;
    text.remove_prefix(length);
    return c;
}

}  // namespace

std::u16string_view CommandLineTail(std::u16string_view commandLine) {
    std::size_t at = 0;
    if (!commandLine.empty() && commandLine.front() == u'"') {
        const auto close = commandLine.find(u'"', 1);
        at = close == std::u16string_view::npos ? commandLine.size() : close + 1;
    } else {
        while (at < commandLine.size() && !IsBlank(commandLine[at])) ++at;
    }
    while (at < commandLine.size() && IsBlank(commandLine[at])) ++at;
    return commandLine.substr(at);
}

std::vector<std::u16string> SplitArguments(std::u16string_view tail) {
    std::vector<std::u16string> arguments;
    std::u16string current;
    bool inArgument = false;
    bool quoted = false;
    for (std::size_t i = 0; i < tail.size(); ++i) {
        const char16_t c = tail[i];
        if (IsBlank(c) && !quoted) {
            if (inArgument) arguments.push_back(std::move(current));
            current.clear();
            inArgument = false;
            continue;
        }
        inArgument = true;
        if (c == u'\\') {
            std::size_t run = 1;
            while (i + run < tail.size() && tail[i + run] == u'\\') ++run;
            const bool beforeQuote = i + run < tail.size() && tail[i + run] == u'"';
            current.append(beforeQuote ? run / 2 : run, u'\\');
            i += run - 1;
            if (beforeQuote && run % 2 == 1) {
                current += u'"';
                ++i;
            }
        } else if (c == u'"') {
            if (quoted && i + 1 < tail.size() && tail[i + 1] == u'"') {
                current += u'"';
                ++i;
            } else {
                quoted = !quoted;
            }
        } else {
            current += c;
        }
    }
    if (inArgument) arguments.push_back(std::move(current));
    return arguments;
}

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

std::u16string ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    while (!text.empty()) AppendUtf16(out, TakeUtf8(text));
    return out;
}

std::string DirectoryOf(std::string_view path) {
    const auto separator = path.find_last_of("\\/");
    if (separator == std::string_view::npos) return ".";
    // The root of a drive keeps its separator: "C:\" rather than "C:", which would mean the
    // drive's current folder.
    const bool root = separator == 0 || (separator == 2 && path[1] == ':');
    return std::string(path.substr(0, root ? separator + 1 : separator));
}

std::u16string LongPathForm(std::u16string path) {
    if (path.size() < kClassicPathLimit) return path;
    for (char16_t& c : path) {
        if (c == u'/') c = u'\\';
    }
    if (path.starts_with(u"\\\\?\\") || path.starts_with(u"\\\\.\\")) return path;
    if (path.starts_with(u"\\\\")) return u"\\\\?\\UNC\\" + path.substr(2);
    const bool drive = path.size() >= 3 && path[1] == u':' && path[2] == u'\\' &&
                       ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
    return drive ? u"\\\\?\\" + path : path;
}

std::string FileErrorText(std::uint32_t code) {
    switch (code) {
    case 2:  // ERROR_FILE_NOT_FOUND
        return "File not found";
    case 3:  // ERROR_PATH_NOT_FOUND
        return "Path not found";
    case 5:  // ERROR_ACCESS_DENIED, also a folder opened as a file
        return "Access denied";
    case 8:   // ERROR_NOT_ENOUGH_MEMORY
    case 14:  // ERROR_OUTOFMEMORY
        return "Not enough memory";
    case 19:  // ERROR_WRITE_PROTECT
        return "Medium is write protected";
    case 32:  // ERROR_SHARING_VIOLATION: another program holds the file without sharing it
        return "File in use by another process";
    case 33:  // ERROR_LOCK_VIOLATION
        return "A region of the file is locked";
    case 39:   // ERROR_HANDLE_DISK_FULL
    case 112:  // ERROR_DISK_FULL
        return "Disk full";
    case 53:  // ERROR_BAD_NETPATH
    case 64:  // ERROR_NETNAME_DELETED
        return "Network path not available";
    case 123:  // ERROR_INVALID_NAME
        return "Invalid file name";
    case 206:  // ERROR_FILENAME_EXCED_RANGE
        return "File name too long";
    case 1920:  // ERROR_CANT_ACCESS_FILE: a link the system cannot follow
        return "File cannot be accessed";
    default:
        return "Windows error " + std::to_string(code);
    }
}

}  // namespace pelldor::platform::windows
