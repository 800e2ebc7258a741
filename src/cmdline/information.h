#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pelldor {

// What the program prints when the whole command line asks for its version or its usage
// (`--version`, `--help`); nothing for any other command line, which is a run.
[[nodiscard]] std::optional<std::string> InformationFor(std::string_view tail);

// Answers such a request on standard output and ends the process with status 0 at once,
// before anything of a run happens; returns for every other command line.
void AnswerInformationRequest();

}  // namespace pelldor
