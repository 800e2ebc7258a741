#include "cmdline/tokenizer.h"

#include "foundation/run_error.h"

namespace pelldor {

void SplitCommandLine(std::string_view tail, Tokens& tokens) {
    const std::int16_t length = CheckedNarrow16(static_cast<long long>(tail.size()));
    std::int16_t current = 1;
    bool quoted = false;
    for (std::int16_t position = 1; position <= length; position = CheckedAdd16(position, 1)) {
        const char c = tail[static_cast<std::size_t>(position - 1)];
        std::string& token = tokens[static_cast<std::size_t>(current - 1)];
        if (c == '"' || quoted) {
            if (c == '"') {
                quoted = !quoted;
            } else {
                token += c;
            }
        } else if (c == ' ' || c == '\t') {
            if (current < kTokenSlots) {
                ++current;
            } else {
                token += c;
            }
        } else {
            token += c;
        }
    }
}

}  // namespace pelldor
