#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/base/text.h"
#include "core/formats/bmg_codec.h"

namespace cartscope::core::bmg {

namespace {

// iconv's name for the file's encoding: the shown name, but code page 932 for Shift-JIS (the
// console's, where 0x5C is a backslash, not a yen sign).
std::string iconvName(const Bmg& bmg)
{
    return bmg.encoding == BmgEncoding::ShiftJis ? "CP932" : bmgEncodingName(bmg);
}

std::span<const std::uint8_t> asBytes(std::string_view s)
{
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The bytes of the character that starts at `at` (at least one, never past the message); a
// following byte that could not belong to it (a zero, the escape code, a byte out of its range)
// ends it early, so a terminator or escape is never swallowed.
std::size_t charLength(const Bmg& bmg, std::span<const std::uint8_t> d, std::size_t at)
{
    const std::size_t left = d.size() - at;
    const std::uint8_t lead = d[at];
    auto trail = [&](std::size_t want, std::uint8_t lo, std::uint8_t hi) {
        std::size_t n = 1;
        while (n < want && n < left && d[at + n] >= lo && d[at + n] <= hi)
            ++n;
        return n;
    };
    switch (bmg.encoding) {
    case BmgEncoding::Cp1252:
        return 1;
    case BmgEncoding::Utf8:
        if (lead >= 0xC0 && lead <= 0xDF)
            return trail(2, 0x80, 0xBF);
        if (lead >= 0xE0 && lead <= 0xEF)
            return trail(3, 0x80, 0xBF);
        if (lead >= 0xF0 && lead <= 0xF7)
            return trail(4, 0x80, 0xBF);
        return 1;
    case BmgEncoding::ShiftJis:
        if ((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC))
            return trail(2, 0x40, 0xFC);
        return 1;
    case BmgEncoding::Utf16: {
        if (left < 2)
            return left;
        const Order order{bmg.bigEndian};
        const std::uint16_t unit = order.u16(d, at);
        if (unit >= 0xD800 && unit <= 0xDBFF && left >= 4) {
            const std::uint16_t next = order.u16(d, at + 2);
            if (next >= 0xDC00 && next <= 0xDFFF)
                return 4;
        }
        return 2;
    }
    }
    return 1;
}

std::string hexLower(std::span<const std::uint8_t> bytes)
{
    return hexBytes(bytes, HexCase::Lower);
}

char32_t firstCodePoint(std::string_view utf8)
{
    const std::u16string u = utf8ToUtf16(utf8);
    if (u.size() >= 2 && u[0] >= 0xD800 && u[0] <= 0xDBFF)
        return 0x10000 + ((static_cast<char32_t>(u[0]) - 0xD800) << 10) + (u[1] - 0xDC00);
    return u.empty() ? 0 : u[0];
}

// Characters the one-line form writes as {U+XXXX}: controls other than tab, and the format
// characters that reorder or hide text, so the text form is safe on a terminal as it stands.
bool hiddenInLine(char32_t cp)
{
    return (cp < 0x20 && cp != '\t') || (cp >= 0x7F && cp < 0xA0) || isFormatCharacter(cp);
}

std::string codePoint(char32_t cp, const char* form)
{
    char token[16];
    std::snprintf(token, sizeof token, form, static_cast<unsigned>(cp));
    return token;
}

// One decoded character in the token form.
std::string characterToken(const std::string& text, bool oneLine)
{
    if (text == "{")
        return "{{";
    if (oneLine && text == "\n")
        return "{n}";
    if (oneLine && text == "\r")
        return "{r}";
    if (const char32_t cp = firstCodePoint(text); oneLine && hiddenInLine(cp))
        return codePoint(cp, "{U+%04X}");
    return text;
}

// The first UTF-8 character of `s` that the encoding cannot hold, for the error text.
std::string firstMisfit(std::string_view s, const Converter& fromUtf8)
{
    std::string ignored;
    std::size_t at = 0;
    while (at < s.size()) { // each pass moves past one character
        std::size_t n = 1;
        const auto lead = static_cast<std::uint8_t>(s[at]);
        if (lead >= 0xF0)
            n = 4;
        else if (lead >= 0xE0)
            n = 3;
        else if (lead >= 0xC0)
            n = 2;
        n = std::min(n, s.size() - at);
        const std::string_view c = s.substr(at, n);
        if (!fromUtf8.convert(asBytes(c), ignored))
            return "\"" + escapeForTerminal(c) + "\" (" + codePoint(firstCodePoint(c), "U+%04X") +
                   ")";
        at += n;
    }
    return "";
}

// The token form of one message turned back into bytes: text gathers in a run that is converted
// as a whole when a byte token or the end comes.
class MessageEncoder {
public:
    MessageEncoder(const Bmg& bmg, std::size_t index, const Converters& conv)
        : m_bmg(bmg), m_index(index), m_conv(conv)
    {}

    std::vector<std::uint8_t> encode(std::string_view text)
    {
        std::size_t at = 0;
        while (at < text.size()) { // each pass consumes at least one byte of the text
            if (text[at] != '{') {
                m_run += text[at++];
            } else if (text.substr(at, 2) == "{{") {
                m_run += '{';
                at += 2;
            } else {
                const std::size_t close = text.find('}', at);
                if (close == std::string_view::npos)
                    throw notToken(text.substr(at));
                token(text.substr(at, close - at + 1));
                at = close + 1;
            }
        }
        flushRun();
        return std::move(m_out);
    }

private:
    Error notToken(std::string_view token) const
    {
        return Error(messageLabel(m_index) + ": \"" + escapeForTerminal(token.substr(0, 24)) +
                     "\" is not a token (a literal \"{\" is written \"{{\")");
    }

    void token(std::string_view token)
    {
        if (token == "{n}") {
            m_run += '\n';
        } else if (token == "{r}") {
            m_run += '\r';
        } else if (token.starts_with("{1A:") || token.starts_with("{1a:")) {
            escape(token);
        } else if (token.starts_with("{U+") && token.size() >= 8 && token.size() <= 10) {
            codePointToken(token);
        } else if (token.starts_with("{raw:")) {
            const auto data = parseHexBytes(token.substr(5, token.size() - 6));
            if (!data || data->empty())
                throw notToken(token);
            flushRun();
            m_out.insert(m_out.end(), data->begin(), data->end());
        } else {
            throw notToken(token);
        }
    }

    // {1A:hex}: the escape code in one unit, the sequence's whole length, then its data.
    void escape(std::string_view token)
    {
        const auto data = parseHexBytes(token.substr(4, token.size() - 5));
        if (!data)
            throw notToken(token);
        const std::size_t unit = unitSize(m_bmg);
        const std::size_t length = unit + 1 + data->size();
        if (length > 255)
            throw Error(messageLabel(m_index) + ": the escape sequence " +
                        escapeForTerminal(token.substr(0, 24)) + "... is longer than 255 bytes");
        flushRun();
        std::vector<std::uint8_t> code(unit, kEscape);
        if (unit == 2)
            Order{m_bmg.bigEndian}.put16(code, 0, kEscape);
        m_out.insert(m_out.end(), code.begin(), code.end());
        m_out.push_back(static_cast<std::uint8_t>(length));
        m_out.insert(m_out.end(), data->begin(), data->end());
    }

    // {U+XXXX}: the character, added to the text run.
    void codePointToken(std::string_view token)
    {
        char32_t cp = 0;
        for (const char c : token.substr(3, token.size() - 4)) {
            const int digit = hexDigitValue(c);
            if (digit < 0)
                throw notToken(token);
            cp = cp * 16 + static_cast<char32_t>(digit);
        }
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            throw notToken(token);
        std::u16string units;
        if (cp >= 0x10000) {
            units += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            units += static_cast<char16_t>(cp);
        }
        m_run += utf16ToUtf8(units);
    }

    void flushRun()
    {
        if (m_run.empty())
            return;
        if (m_run.find('\0') != std::string::npos || m_run.find('\x1A') != std::string::npos)
            throw Error(messageLabel(m_index) +
                        " holds a control character U+0000 or U+001A (an escape sequence is "
                        "written {1A:hex})");
        if (utf16ToUtf8(utf8ToUtf16(m_run)) != m_run)
            throw Error(messageLabel(m_index) + " is not valid UTF-8");
        if (!m_conv.fromUtf8.convert(asBytes(m_run), m_converted))
            throw Error(messageLabel(m_index) + " does not fit the encoding " +
                        bmgEncodingName(m_bmg) + ": " + firstMisfit(m_run, m_conv.fromUtf8));
        m_out.insert(m_out.end(), m_converted.begin(), m_converted.end());
        m_run.clear();
    }

    const Bmg& m_bmg;
    std::size_t m_index;
    const Converters& m_conv;
    std::vector<std::uint8_t> m_out;
    std::string m_run;
    std::string m_converted;
};

} // namespace

Converter::Converter(const char* to, const char* from) : m_cd(iconv_open(to, from))
{
    if (m_cd == reinterpret_cast<iconv_t>(-1))
        throw Error(std::string("The system cannot convert text from ") + from + " to " + to);
}

Converter::~Converter()
{
    iconv_close(m_cd);
}

bool Converter::convert(std::span<const std::uint8_t> in, std::string& out) const
{
    out.clear();
    iconv(m_cd, nullptr, nullptr, nullptr, nullptr); // the initial shift state
    // iconv's input pointer is not const-qualified; it only reads through it.
    char* src = reinterpret_cast<char*>(const_cast<std::uint8_t*>(in.data()));
    std::size_t left = in.size();
    char buffer[256];
    // Each pass converts some input or fills the buffer; E2BIG only asks for another pass.
    while (left > 0) {
        char* dst = buffer;
        std::size_t room = sizeof buffer;
        const std::size_t r = iconv(m_cd, &src, &left, &dst, &room);
        out.append(buffer, static_cast<std::size_t>(dst - buffer));
        if (r == static_cast<std::size_t>(-1) && errno != E2BIG)
            return false;
        if (r != static_cast<std::size_t>(-1) && r > 0)
            return false; // an irreversible conversion: not the same character
    }
    char* dst = buffer;
    std::size_t room = sizeof buffer;
    if (iconv(m_cd, nullptr, nullptr, &dst, &room) == static_cast<std::size_t>(-1))
        return false;
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    return true;
}

Converters::Converters(const Bmg& bmg)
    : toUtf8("UTF-8", iconvName(bmg).c_str()), fromUtf8(iconvName(bmg).c_str(), "UTF-8")
{}

std::string messageLabel(std::size_t index)
{
    return "Message " + std::to_string(index);
}

std::string decodeMessage(const Bmg& bmg, const BmgMessage& m, const Converters& conv, bool oneLine)
{
    const Order order{bmg.bigEndian};
    const std::span<const std::uint8_t> d(m.bytes);
    const std::size_t unit = unitSize(bmg);
    std::string out;
    std::vector<std::uint8_t> raw;
    auto flushRaw = [&] {
        if (!raw.empty())
            out += "{raw:" + hexLower(raw) + "}";
        raw.clear();
    };
    std::string text;
    std::string back;
    std::size_t at = 0;
    while (at < d.size()) { // each pass consumes at least one byte of the message
        if (d.size() - at >= unit && (unit == 2 ? order.u16(d, at) == kEscape : d[at] == kEscape)) {
            // readBmg checked that the sequence fits the message.
            const std::size_t length = d[at + unit];
            flushRaw();
            out += "{1A:" + hexLower(d.subspan(at + unit + 1, length - unit - 1)) + "}";
            at += length;
            continue;
        }
        const auto bytes = d.subspan(at, charLength(bmg, d, at));
        at += bytes.size();
        // A character is text only if it encodes back to exactly its own bytes.
        if (!conv.toUtf8.convert(bytes, text) || text.empty() ||
            !conv.fromUtf8.convert(asBytes(text), back) ||
            !std::ranges::equal(asBytes(back), bytes)) {
            raw.insert(raw.end(), bytes.begin(), bytes.end());
            continue;
        }
        flushRaw();
        out += characterToken(text, oneLine);
    }
    flushRaw();
    return out;
}

std::vector<std::uint8_t> encodeMessage(const Bmg& bmg, std::string_view text, std::size_t index,
                                        const Converters& conv)
{
    return MessageEncoder(bmg, index, conv).encode(text);
}

} // namespace cartscope::core::bmg
