#include "core/base/text.h"

#include <cstdint>

#include "core/base/hex.h"

namespace cartscope::core {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// One code point decoded from s at i: `length` bytes long, or length 0 when the byte at i does
// not start a valid sequence (overlong forms, surrogates and values past U+10FFFF included).
struct Decoded {
    char32_t cp = 0;
    std::size_t length = 0;
};

Decoded decodeUtf8(std::string_view s, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    const std::uint8_t b0 = byte(i);
    if (b0 < 0x80)
        return {b0, 1};
    std::size_t length = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        return {};
    }
    if (length > s.size() - i)
        return {};
    for (std::size_t k = 1; k < length; ++k) {
        const std::uint8_t b = byte(i + k);
        if ((b & 0xC0) != 0x80)
            return {};
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return {};
    return {cp, length};
}

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void appendHexByte(std::string& out, const char* prefix, unsigned value, HexCase letters)
{
    out += prefix;
    appendHex(out, value & 0xFF, 2, letters);
}

} // namespace

std::u16string utf8ToUtf16(std::string_view s)
{
    std::u16string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const Decoded d = decodeUtf8(s, i);
        if (d.length == 0) {
            out.push_back(static_cast<char16_t>(kReplacement));
            ++i;
            continue;
        }
        if (d.cp >= 0x10000) {
            const char32_t v = d.cp - 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(d.cp));
        }
        i += d.length;
    }
    return out;
}

std::string utf16ToUtf8(std::u16string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t u = s[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                                (static_cast<char32_t>(s[i + 1]) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            appendUtf8(out, kReplacement);
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

bool isFormatCharacter(char32_t cp)
{
    // The general category Cf (Unicode 15), the line and paragraph separators and the Mongolian
    // vowel separator (once Cf), in code point order.
    struct Range {
        char32_t first, last;
    };
    static constexpr Range kRanges[] = {
        {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
        {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
        {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
        {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
        {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
        {0xE0020, 0xE007F},
    };
    if (cp < 0xAD)
        return false;
    for (const Range& r : kRanges) {
        if (cp < r.first)
            return false;
        if (cp <= r.last)
            return true;
    }
    return false;
}

namespace {
void appendCodePointEscape(std::string& out, const char* open, char32_t cp, const char* close)
{
    // At least four digits, as the code point is usually written.
    out += open;
    appendHex(out, cp, 4);
    out += close;
}
} // namespace

namespace {
bool isPlainAscii(char c)
{
    return c >= 0x20 && c <= 0x7E && c != '\\';
}
} // namespace

std::string escapeForTerminal(std::string_view utf8, bool keepNewlines)
{
    std::string out;
    out.reserve(utf8.size());
    appendForTerminal(out, utf8, keepNewlines);
    return out;
}

void appendForTerminal(std::string& out, std::string_view utf8, bool keepNewlines)
{
    for (std::size_t i = 0; i < utf8.size();) {
        // Printable ASCII other than the backslash goes out as it is, a run at a time: most
        // names are nothing else.
        std::size_t plain = i;
        while (plain < utf8.size() && isPlainAscii(utf8[plain]))
            ++plain;
        if (plain > i) {
            out.append(utf8.substr(i, plain - i));
            i = plain;
            continue;
        }
        const Decoded d = decodeUtf8(utf8, i);
        if (d.length == 0) {
            // A stray byte could be taken as a C1 control by an 8-bit terminal: shown, not sent.
            appendHexByte(out, "\\x", static_cast<std::uint8_t>(utf8[i]), HexCase::Upper);
            ++i;
            continue;
        }
        const char32_t cp = d.cp;
        if (cp == '\n') {
            out += keepNewlines ? "\n" : "\\n";
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (cp == '\\') {
            out += "\\\\";
        } else if (cp < 0x20 || cp == 0x7F) {
            // One byte each, so \xHH is both the byte and the code point.
            appendHexByte(out, "\\x", static_cast<unsigned>(cp), HexCase::Upper);
        } else if ((cp >= 0x80 && cp <= 0x9F) || isFormatCharacter(cp)) {
            // Two or three bytes in UTF-8: written by code point, so that \xHH always means one
            // raw byte and the text can be given back exactly.
            appendCodePointEscape(out, "\\u{", cp, "}");
        } else {
            out.append(utf8.substr(i, d.length));
        }
        i += d.length;
    }
}

std::string markInvisible(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const Decoded d = decodeUtf8(utf8, i);
        if (d.length == 0) {
            out.push_back(utf8[i++]);
            continue;
        }
        if (isFormatCharacter(d.cp))
            appendCodePointEscape(out, "\xE2\x9F\xA8U+", d.cp, "\xE2\x9F\xA9"); // ⟨U+XXXX⟩
        else
            out.append(utf8.substr(i, d.length));
        i += d.length;
    }
    return out;
}

std::u16string markInvisible(std::u16string_view utf16)
{
    std::u16string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        // A format character past the basic plane (tag characters, musical format marks) is a
        // surrogate pair.
        char32_t cp = utf16[i];
        std::size_t units = 1;
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(utf16[i + 1]) - 0xDC00);
            units = 2;
        }
        if (!isFormatCharacter(cp)) {
            out.append(utf16.substr(i, units));
            i += units - 1;
            continue;
        }
        std::string mark;
        appendCodePointEscape(mark, "U+", cp, "");
        out += u'\u27E8';
        out.append(mark.begin(), mark.end());
        out += u'\u27E9';
        i += units - 1;
    }
    return out;
}

std::string hexUtf16(std::u16string_view utf16)
{
    std::string out;
    out.reserve(utf16.size() * 4);
    for (const char16_t u : utf16) {
        appendHexByte(out, "", static_cast<unsigned>(u >> 8), HexCase::Upper);
        appendHexByte(out, "", static_cast<unsigned>(u & 0xFF), HexCase::Upper);
    }
    return out;
}

namespace {

// JSON's two-character escapes; null for the others.
const char* jsonShortEscape(char32_t cp)
{
    switch (cp) {
    case '"':
        return "\\\"";
    case '\\':
        return "\\\\";
    case '\b':
        return "\\b";
    case '\f':
        return "\\f";
    case '\n':
        return "\\n";
    case '\r':
        return "\\r";
    case '\t':
        return "\\t";
    default:
        return nullptr;
    }
}

// A format character as \uXXXX: past the basic plane as a surrogate pair, as JSON writes such a
// character.
void appendJsonUnicode(std::string& out, char32_t cp)
{
    const auto unit = [&](char32_t u) {
        out += "\\u";
        appendHex(out, u, 4, HexCase::Lower);
    };
    if (cp >= 0x10000) {
        unit(0xD800 + ((cp - 0x10000) >> 10));
        unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
        unit(cp);
    }
}

} // namespace

std::string jsonString(std::string_view utf8)
{
    std::string out = "\"";
    out.reserve(utf8.size() + 2);
    for (std::size_t i = 0; i < utf8.size();) {
        const Decoded d = decodeUtf8(utf8, i);
        if (d.length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        const char32_t cp = d.cp;
        // Other C0 controls must be escaped; DEL, C1 controls and the format characters
        // (bidirectional controls, zero-width characters) need not be, but escaping them keeps
        // the output safe to print and shows what is there: the same string.
        if (const char* escape = jsonShortEscape(cp))
            out += escape;
        else if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F))
            appendHexByte(out, "\\u00", static_cast<unsigned>(cp), HexCase::Lower);
        else if (isFormatCharacter(cp))
            appendJsonUnicode(out, cp);
        else
            out.append(utf8.substr(i, d.length));
        i += d.length;
    }
    out += "\"";
    return out;
}

std::string csvCell(std::string_view s)
{
    std::string cell = escapeForTerminal(s);
    if (!s.empty() && std::string_view("=+-@\t").find(s.front()) != std::string_view::npos)
        cell.insert(0, 1, '\'');
    if (cell.find_first_of(",\"\r\n") == std::string::npos)
        return cell;
    std::string out = "\"";
    for (const char c : cell) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

} // namespace cartscope::core
