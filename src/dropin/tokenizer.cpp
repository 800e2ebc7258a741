#include "dropin/tokenizer.h"

#include "dropin/run_error.h"

namespace pelldor::dropin {

void SplitCommandLine(std::string_view tail, std::size_t length, Tokens& tokens) {
    (void)CheckedAdd16(CheckedNarrow16(static_cast<long long>(length)), 1);
    std::int16_t current = 1;
    bool quoted = false;
    for (const char c : tail) {
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

}  // namespace pelldor::dropin
