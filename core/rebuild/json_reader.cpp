#include "core/rebuild/json_reader.h"

#include <charconv>
#include <limits>

#include "core/base/error.h"

namespace cartscope::core::rebuild {

namespace {

constexpr std::size_t kMaxStringBytes = 8192;

void appendUtf8(std::string& out, std::uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

} // namespace

void JsonReader::fail() const
{
    throw Error("The layout \"" + m_where + "\" is not valid JSON at byte " + std::to_string(m_at));
}

void JsonReader::skipSpace()
{
    while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\n' ||
                                    m_text[m_at] == '\r' || m_text[m_at] == '\t'))
        ++m_at;
}

bool JsonReader::take(char c)
{
    skipSpace();
    if (m_at < m_text.size() && m_text[m_at] == c) {
        ++m_at;
        return true;
    }
    return false;
}

void JsonReader::expect(char c)
{
    if (!take(c))
        fail();
}

void JsonReader::object(const std::function<void(std::string_view)>& member)
{
    expect('{');
    if (take('}'))
        return;
    // Bounded by the text: every member consumes at least a key.
    do {
        skipSpace();
        std::string decoded;
        const std::string_view key = text(decoded);
        expect(':');
        member(key);
    } while (take(','));
    expect('}');
}

void JsonReader::array(const std::function<void()>& element, std::size_t maxElements)
{
    expect('[');
    if (take(']'))
        return;
    std::size_t count = 0;
    do {
        if (++count > maxElements)
            throw Error("The layout \"" + m_where + "\" has more entries than a build takes");
        element();
    } while (take(','));
    expect(']');
}

std::uint32_t JsonReader::hex4()
{
    if (m_text.size() - m_at < 4)
        fail();
    std::uint32_t v = 0;
    const auto [end, ec] = std::from_chars(m_text.data() + m_at, m_text.data() + m_at + 4, v, 16);
    if (ec != std::errc() || end != m_text.data() + m_at + 4)
        fail();
    m_at += 4;
    return v;
}

std::string JsonReader::string()
{
    std::string decoded;
    const std::string_view s = text(decoded);
    return s.data() == decoded.data() ? std::move(decoded) : std::string(s);
}

std::string_view JsonReader::text(std::string& decoded)
{
    expect('"');
    // The common case, a string without escapes, is taken whole (a layout holds ~10 a file).
    // Bounded by the text and by kMaxStringBytes, as the loop below.
    for (std::size_t end = m_at; end < m_text.size() && end - m_at <= kMaxStringBytes; ++end) {
        const char c = m_text[end];
        if (c == '"') {
            const std::string_view whole = m_text.substr(m_at, end - m_at);
            m_at = end + 1;
            return whole;
        }
        if (c == '\\' || static_cast<unsigned char>(c) < 0x20)
            break;
    }
    std::string& out = decoded;
    // Bounded by the text and by kMaxStringBytes.
    while (true) {
        if (m_at >= m_text.size() || out.size() > kMaxStringBytes)
            fail();
        const char c = m_text[m_at++];
        if (c == '"')
            return out;
        if (static_cast<unsigned char>(c) < 0x20)
            fail();
        if (c == '\\')
            escape(out);
        else
            out += c;
    }
}

void JsonReader::escape(std::string& out)
{
    if (m_at >= m_text.size())
        fail();
    switch (m_text[m_at++]) {
    case '"':
        out += '"';
        break;
    case '\\':
        out += '\\';
        break;
    case '/':
        out += '/';
        break;
    case 'b':
        out += '\b';
        break;
    case 'f':
        out += '\f';
        break;
    case 'n':
        out += '\n';
        break;
    case 'r':
        out += '\r';
        break;
    case 't':
        out += '\t';
        break;
    case 'u':
        appendUtf8(out, codePoint());
        break;
    default:
        fail();
    }
}

std::uint32_t JsonReader::codePoint()
{
    std::uint32_t cp = hex4();
    if (cp >= 0xDC00 && cp <= 0xDFFF)
        fail();
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (m_text.substr(m_at, 2) != "\\u")
            fail();
        m_at += 2;
        const std::uint32_t low = hex4();
        if (low < 0xDC00 || low > 0xDFFF)
            fail();
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    return cp;
}

std::uint64_t JsonReader::number()
{
    skipSpace();
    // JSON has no leading zeros and no "+".
    if (m_at < m_text.size() && m_text[m_at] == '0' && m_at + 1 < m_text.size() &&
        m_text[m_at + 1] >= '0' && m_text[m_at + 1] <= '9')
        fail();
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(m_text.data() + m_at, m_text.data() + m_text.size(), v);
    if (ec != std::errc() || end == m_text.data() + m_at)
        fail();
    m_at = static_cast<std::size_t>(end - m_text.data());
    if (m_at < m_text.size() && (m_text[m_at] == '.' || m_text[m_at] == 'e' || m_text[m_at] == 'E'))
        fail();
    return v;
}

std::int64_t JsonReader::signedNumber()
{
    skipSpace();
    const bool negative = m_at < m_text.size() && m_text[m_at] == '-';
    if (negative)
        ++m_at;
    if (m_at < m_text.size() && m_text[m_at] == '-')
        fail();
    const std::uint64_t magnitude = number();
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (magnitude > kMax + (negative ? 1 : 0))
        fail();
    if (negative)
        return magnitude == kMax + 1 ? std::numeric_limits<std::int64_t>::min()
                                     : -static_cast<std::int64_t>(magnitude);
    return static_cast<std::int64_t>(magnitude);
}

void JsonReader::end()
{
    skipSpace();
    if (m_at != m_text.size())
        fail();
}

} // namespace cartscope::core::rebuild
