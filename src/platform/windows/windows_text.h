#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Text handling of the Windows platform that needs no Windows headers, so it can be tested
// on any system.
namespace pelldor::platform::windows {

// What follows the program's name in a command line as Windows hands it over: the name is
// everything up to the closing double quote when it starts with one, else up to the first
// blank or tab; the blanks and tabs after it are skipped too. The rest is left exactly as
// typed, quotes and all, for the program's own splitting.
[[nodiscard]] std::u16string_view CommandLineTail(std::u16string_view commandLine);

// The arguments of a command-line tail by the C runtime's rules: blanks and tabs separate;
// double quotes group, and "" inside quotes is one quote; 2n backslashes before a quote are
// n backslashes and the quote groups, 2n+1 are n and a literal quote; other backslashes
// are literal.
[[nodiscard]] std::vector<std::u16string> SplitArguments(std::u16string_view tail);

// Conversions between the system's UTF-16 and the program's UTF-8. Text that is not valid
// in its encoding (a lone surrogate, a stray byte) becomes U+FFFD rather than failing, so a
// damaged name still yields a readable log line.
[[nodiscard]] std::string ToUtf8(std::u16string_view text);
[[nodiscard]] std::u16string ToUtf16(std::string_view text);

// The folder of a path, either separator accepted; "." when there is none.
[[nodiscard]] std::string DirectoryOf(std::string_view path);

// An absolute path too long for the classic limit, given the \\?\ form that lifts it; any
// other path unchanged. That form takes the path literally, so forward slashes become
// backslashes first.
[[nodiscard]] std::u16string LongPathForm(std::u16string path);

// A fixed English text for a Win32 error number of a file operation: the system's own
// texts are localised and may not be ASCII.
[[nodiscard]] std::string FileErrorText(std::uint32_t code);

}  // namespace pelldor::platform::windows
