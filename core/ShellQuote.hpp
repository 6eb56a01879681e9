#pragma once

#include <string>
#include <string_view>

namespace Vandrel {

// Quotes text as one word for bash: inside single quotes nothing is special,
// and each embedded single quote is written as '\'' (close, escaped quote,
// reopen). Spaces, $(...), backticks, ';' and newlines all stay literal.
inline std::string shellQuote(std::string_view text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

} // namespace Vandrel
