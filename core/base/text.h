#pragma once

#include <string>
#include <string_view>

namespace cartscope::core {

// UTF-8 to UTF-16; each byte that is not part of a valid UTF-8 sequence becomes U+FFFD.
std::u16string utf8ToUtf16(std::string_view s);
// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD (never throws).
std::string utf16ToUtf8(std::u16string_view s);
// The Unicode format characters that reorder or hide text: the general category Cf
// (bidirectional controls, zero-width characters, the byte order mark, the soft hyphen, tag
// characters, ...), the line and paragraph separators U+2028 and U+2029, and U+180E.
bool isFormatCharacter(char32_t cp);
// For a terminal, reversibly: a backslash is doubled; tab, newline and carriage return become
// \t, \n, \r; a byte that is not part of valid UTF-8, a C0 control and DEL become \xHH (their
// byte); C1 controls and the format characters become \u{XXXX}; everything else is kept. With
// keepNewlines, "\n" passes through.
std::string escapeForTerminal(std::string_view utf8, bool keepNewlines = false);
// The same, appended to `out` (a writer of many lines keeps one buffer).
void appendForTerminal(std::string& out, std::string_view utf8, bool keepNewlines = false);
// For the window: each format character shown as a visible mark "⟨U+202E⟩". Display only: names
// that are made, saved or exported keep the real text.
std::string markInvisible(std::string_view utf8);
std::u16string markInvisible(std::u16string_view utf16);
// Upper-case hex of UTF-16 code units, four digits each, most significant first; lone
// surrogates are kept exactly.
std::string hexUtf16(std::u16string_view utf16);
// A JSON string literal, quotes included: controls and format characters as \uXXXX (a
// surrogate pair past the basic plane), a byte that is not UTF-8 as \ufffd.
std::string jsonString(std::string_view utf8);

// One CSV cell: control and format characters escaped as for a terminal (a name cannot send
// terminal sequences when the CSV is shown), "'" before what a spreadsheet would take for a
// formula ("=", "+", "-", "@" or a tab first), and RFC 4180 quoting (quotes doubled) when it
// holds a comma, a quote or a line end.
std::string csvCell(std::string_view s);

} // namespace cartscope::core
