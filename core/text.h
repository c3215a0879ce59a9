#pragma once

#include <string>
#include <string_view>

namespace cartscope::core {

// UTF-8 to UTF-16; each byte that is not part of a valid UTF-8 sequence becomes U+FFFD.
std::u16string utf8ToUtf16(std::string_view s);
// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD (never throws).
std::string utf16ToUtf8(std::u16string_view s);
// For a terminal: control characters (C0, DEL, C1) become \n, \t, \xHH escapes and a
// backslash is doubled; everything else is kept. With keepNewlines, "\n" passes through.
std::string escapeForTerminal(std::string_view utf8, bool keepNewlines = false);
// A JSON string literal, quotes included.
std::string jsonString(std::string_view utf8);

} // namespace cartscope::core
