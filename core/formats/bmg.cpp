#include "core/formats/bmg.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iconv.h>
#include <map>

#include "core/base/error.h"
#include "core/base/text.h"
#include "core/formats/nitro.h"

namespace cartscope::core {

namespace {

constexpr std::size_t kHeaderSize = 0x20;
constexpr std::size_t kBlockHeader = 8;
constexpr std::uint8_t kEscape = 0x1A;

// Numbers in the file's byte order.
struct Order {
    bool big = false;
    std::uint16_t u16(std::span<const std::uint8_t> b, std::size_t at) const
    {
        return big ? static_cast<std::uint16_t>((b[at] << 8) | b[at + 1])
                   : static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
    }
    std::uint32_t u32(std::span<const std::uint8_t> b, std::size_t at) const
    {
        const std::uint32_t hi = u16(b, big ? at : at + 2);
        const std::uint32_t lo = u16(b, big ? at + 2 : at);
        return (hi << 16) | lo;
    }
    void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) const
    {
        b[at + (big ? 0 : 1)] = static_cast<std::uint8_t>(v >> 8);
        b[at + (big ? 1 : 0)] = static_cast<std::uint8_t>(v);
    }
    void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) const
    {
        put16(b, big ? at : at + 2, static_cast<std::uint16_t>(v >> 16));
        put16(b, big ? at + 2 : at, static_cast<std::uint16_t>(v));
    }
};

const char* iconvName(const Bmg& bmg)
{
    switch (bmg.encoding) {
    case BmgEncoding::Cp1252:
        return "CP1252";
    case BmgEncoding::Utf16:
        return bmg.bigEndian ? "UTF-16BE" : "UTF-16LE";
    case BmgEncoding::ShiftJis:
        // Code page 932: the console's Shift-JIS, where 0x5C is a backslash, not a yen sign.
        return "CP932";
    case BmgEncoding::Utf8:
        return "UTF-8";
    }
    return "CP1252";
}

// One iconv conversion, closed with the object.
class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from))
    {
        if (m_cd == reinterpret_cast<iconv_t>(-1))
            throw Error(std::string("The system cannot convert text from ") + from + " to " + to);
    }
    ~Converter() { iconv_close(m_cd); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // All of `in`, or nothing: false when some input is not valid or cannot be converted.
    bool convert(std::span<const std::uint8_t> in, std::string& out) const
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

private:
    iconv_t m_cd;
};

std::span<const std::uint8_t> asBytes(std::string_view s)
{
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::size_t unitSize(const Bmg& bmg)
{
    return bmg.encoding == BmgEncoding::Utf16 ? 2 : 1;
}

// The bytes of the character that starts at `at` (at least one, never past `end`); a following
// byte that could not belong to it (a zero, the escape code, a byte out of its range) ends it
// early, so a terminator or escape is never swallowed.
std::size_t charLength(const Bmg& bmg, std::span<const std::uint8_t> d, std::size_t at,
                       std::size_t end, Order order)
{
    const std::size_t left = end - at;
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
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    for (const std::uint8_t b : bytes) {
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}

struct Converters {
    Converter toUtf8;
    Converter fromUtf8;
    explicit Converters(const Bmg& bmg)
        : toUtf8("UTF-8", iconvName(bmg)), fromUtf8(iconvName(bmg), "UTF-8")
    {}
};

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

std::string codePointToken(char32_t cp)
{
    char token[16];
    std::snprintf(token, sizeof token, "{U+%04X}", static_cast<unsigned>(cp));
    return token;
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
    // Each pass consumes at least one byte of the message.
    while (at < d.size()) {
        const bool escape =
            d.size() - at >= unit && (unit == 2 ? order.u16(d, at) == kEscape : d[at] == kEscape);
        if (escape) {
            // readBmg checked that the sequence fits the message.
            const std::size_t length = d[at + unit];
            flushRaw();
            out += "{1A:" + hexLower(d.subspan(at + unit + 1, length - unit - 1)) + "}";
            at += length;
            continue;
        }
        const std::size_t n = charLength(bmg, d, at, d.size(), order);
        const auto bytes = d.subspan(at, n);
        at += n;
        // A character is text only if it encodes back to exactly its own bytes.
        if (!conv.toUtf8.convert(bytes, text) || text.empty() ||
            !conv.fromUtf8.convert(asBytes(text), back) ||
            !std::ranges::equal(asBytes(back), bytes)) {
            raw.insert(raw.end(), bytes.begin(), bytes.end());
            continue;
        }
        flushRaw();
        if (text == "{")
            out += "{{";
        else if (oneLine && text == "\n")
            out += "{n}";
        else if (oneLine && text == "\r")
            out += "{r}";
        else if (const char32_t cp = firstCodePoint(text); oneLine && hiddenInLine(cp))
            out += codePointToken(cp);
        else
            out += text;
    }
    flushRaw();
    return out;
}

std::string messageLabel(std::size_t index)
{
    return "Message " + std::to_string(index);
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::vector<std::uint8_t>> parseHex(std::string_view s)
{
    if (s.size() % 2 != 0)
        return std::nullopt;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < s.size(); i += 2) {
        const int hi = hexDigit(s[i]);
        const int lo = hexDigit(s[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return out;
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
        if (!fromUtf8.convert(asBytes(c), ignored)) {
            const std::u16string u = utf8ToUtf16(c);
            char32_t cp = u.empty() ? 0 : u[0];
            if (u.size() == 2)
                cp = 0x10000 + ((static_cast<char32_t>(u[0]) - 0xD800) << 10) + (u[1] - 0xDC00);
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(cp));
            return "\"" + escapeForTerminal(c) + "\" (" + code + ")";
        }
        at += n;
    }
    return "";
}

std::vector<std::uint8_t> encodeMessage(const Bmg& bmg, std::string_view text, std::size_t index,
                                        const Converters& conv)
{
    const Order order{bmg.bigEndian};
    const std::size_t unit = unitSize(bmg);
    std::vector<std::uint8_t> out;
    std::string run;
    std::string converted;
    auto flushRun = [&] {
        if (run.empty())
            return;
        if (run.find('\0') != std::string::npos || run.find('\x1A') != std::string::npos)
            throw Error(messageLabel(index) +
                        " holds a control character U+0000 or U+001A (an escape sequence is "
                        "written {1A:hex})");
        const std::u16string check = utf8ToUtf16(run);
        if (utf16ToUtf8(check) != run)
            throw Error(messageLabel(index) + " is not valid UTF-8");
        if (!conv.fromUtf8.convert(asBytes(run), converted))
            throw Error(messageLabel(index) + " does not fit the encoding " + bmgEncodingName(bmg) +
                        ": " + firstMisfit(run, conv.fromUtf8));
        out.insert(out.end(), converted.begin(), converted.end());
        run.clear();
    };
    std::size_t at = 0;
    while (at < text.size()) { // each pass consumes at least one byte of the text
        if (text[at] != '{') {
            run += text[at++];
            continue;
        }
        if (text.substr(at, 2) == "{{") {
            run += '{';
            at += 2;
            continue;
        }
        const std::size_t close = text.find('}', at);
        const std::string_view token =
            close == std::string_view::npos ? text.substr(at) : text.substr(at, close - at + 1);
        auto notToken = [&] {
            return Error(messageLabel(index) + ": \"" + escapeForTerminal(token.substr(0, 24)) +
                         "\" is not a token (a literal \"{\" is written \"{{\")");
        };
        if (close == std::string_view::npos)
            throw notToken();
        at = close + 1;
        if (token == "{n}") {
            run += '\n';
        } else if (token == "{r}") {
            run += '\r';
        } else if (token.starts_with("{1A:") || token.starts_with("{1a:")) {
            const auto data = parseHex(token.substr(4, token.size() - 5));
            if (!data)
                throw notToken();
            const std::size_t length = unit + 1 + data->size();
            if (length > 255)
                throw Error(messageLabel(index) + ": the escape sequence " +
                            escapeForTerminal(token.substr(0, 24)) +
                            "... is longer than 255 bytes");
            flushRun();
            if (unit == 2) {
                out.resize(out.size() + 2);
                std::vector<std::uint8_t> code(2);
                order.put16(code, 0, kEscape);
                std::copy(code.begin(), code.end(), out.end() - 2);
            } else {
                out.push_back(kEscape);
            }
            out.push_back(static_cast<std::uint8_t>(length));
            out.insert(out.end(), data->begin(), data->end());
        } else if (token.starts_with("{U+") && token.size() >= 8 && token.size() <= 10) {
            char32_t cp = 0;
            for (const char c : token.substr(3, token.size() - 4)) {
                const int digit = hexDigit(c);
                if (digit < 0)
                    throw notToken();
                cp = cp * 16 + static_cast<char32_t>(digit);
            }
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
                throw notToken();
            std::u16string units;
            if (cp >= 0x10000) {
                units += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
                units += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                units += static_cast<char16_t>(cp);
            }
            run += utf16ToUtf8(units);
        } else if (token.starts_with("{raw:")) {
            const auto data = parseHex(token.substr(5, token.size() - 6));
            if (!data || data->empty())
                throw notToken();
            flushRun();
            out.insert(out.end(), data->begin(), data->end());
        } else {
            throw notToken();
        }
    }
    flushRun();
    return out;
}

// The alignment a rebuilt DAT1 keeps: the largest power of two up to 32 that divides the
// original block's size.
std::size_t alignmentOf(std::uint32_t size)
{
    std::size_t a = 32;
    while (a > 1 && size % a != 0)
        a /= 2;
    return a;
}

} // namespace

std::string bmgEncodingName(const Bmg& bmg)
{
    switch (bmg.encoding) {
    case BmgEncoding::Cp1252:
        return "CP1252";
    case BmgEncoding::Utf16:
        return bmg.bigEndian ? "UTF-16BE" : "UTF-16LE";
    case BmgEncoding::ShiftJis:
        return "Shift-JIS";
    case BmgEncoding::Utf8:
        return "UTF-8";
    }
    return "CP1252";
}

Bmg readBmg(std::span<const std::uint8_t> bytes, const std::string& label)
{
    static constexpr std::string_view kMagic = "MESGbmg1";
    if (bytes.size() < kHeaderSize || !std::equal(kMagic.begin(), kMagic.end(), bytes.begin()))
        throw Error("\"" + label + "\" is not a BMG message file");
    Bmg bmg;
    bmg.original.assign(bytes.begin(), bytes.end());
    // The byte order is the one in which the declared size fits the file and the block count
    // is a 16-bit number (a size such as 0x00010100 reads the same both ways; the count, a few
    // blocks, never does).
    auto plausible = [&](Order order) {
        const std::uint32_t size = order.u32(bytes, 0x08); // 0x08 file size
        return size >= kHeaderSize && size <= bytes.size() && order.u32(bytes, 0x0C) <= 0xFFFF;
    };
    if (plausible(Order{false}))
        bmg.bigEndian = false;
    else if (plausible(Order{true}))
        bmg.bigEndian = true;
    else
        throw damaged(label, "its declared size and block count do not fit its " +
                                 std::to_string(bytes.size()) + " bytes");
    const Order order{bmg.bigEndian};
    bmg.fileSize = order.u32(bytes, 0x08);
    const std::uint32_t blockCount = order.u32(bytes, 0x0C); // 0x0C blocks
    bmg.encodingByte = bytes[0x10];                          // 0x10 encoding
    switch (bmg.encodingByte) {
    case 0: // unspecified: read as the single-byte Western code page
    case 1:
        bmg.encoding = BmgEncoding::Cp1252;
        break;
    case 2:
        bmg.encoding = BmgEncoding::Utf16;
        break;
    case 3:
        bmg.encoding = BmgEncoding::ShiftJis;
        break;
    case 4:
        bmg.encoding = BmgEncoding::Utf8;
        break;
    default:
        throw damaged(label,
                      "the encoding value " + std::to_string(bmg.encodingByte) + " is unknown");
    }
    const auto within = bytes.first(bmg.fileSize);
    std::size_t at = kHeaderSize;
    // Bounded by the block count and by the file: each block is at least 8 bytes long.
    for (std::uint32_t i = 0; i < blockCount; ++i) {
        if (!fits(at, kBlockHeader, within.size()))
            throw damaged(label, "block " + std::to_string(i + 1) + " of " +
                                     std::to_string(blockCount) + " lies past the end");
        const std::string magic(reinterpret_cast<const char*>(within.data() + at), 4);
        const std::uint32_t size = order.u32(within, at + 4);
        if (size < kBlockHeader || !fits(at, size, within.size()))
            throw damaged(label, "the " + escapeForTerminal(magic) + " block's size " +
                                     std::to_string(size) + " does not fit");
        bmg.blocks.push_back({magic, at, size});
        at += size;
    }
    auto find = [&](std::string_view magic) {
        const auto it = std::find_if(bmg.blocks.begin(), bmg.blocks.end(),
                                     [&](const BmgBlock& b) { return b.magic == magic; });
        if (it == bmg.blocks.end())
            throw damaged(label, "it has no " + std::string(magic) + " block");
        return static_cast<std::size_t>(it - bmg.blocks.begin());
    };
    bmg.inf1 = find("INF1");
    bmg.dat1 = find("DAT1");
    const BmgBlock& info = bmg.blocks[bmg.inf1];
    const auto inf = within.subspan(info.offset, info.size);
    if (inf.size() < 0x10)
        throw damaged(label, "the INF1 block is cut short");
    const std::uint16_t count = order.u16(inf, 0x08); // 0x08 messages
    bmg.entrySize = order.u16(inf, 0x0A);             // 0x0A entry size; entries from 0x10
    if (bmg.entrySize < 4 || !fits(0x10, std::uint64_t{count} * bmg.entrySize, inf.size()))
        throw damaged(label, "the INF1 entries do not fit their block");
    const BmgBlock& data = bmg.blocks[bmg.dat1];
    const auto dat = within.subspan(data.offset + kBlockHeader, data.size - kBlockHeader);
    const std::size_t unit = unitSize(bmg);
    bmg.messages.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        BmgMessage& m = bmg.messages[i];
        const std::size_t e = 0x10 + i * bmg.entrySize;
        m.offset = order.u32(inf, e);
        m.attributes.assign(inf.begin() + static_cast<std::ptrdiff_t>(e + 4),
                            inf.begin() + static_cast<std::ptrdiff_t>(e + bmg.entrySize));
        if (m.offset >= dat.size())
            throw damaged(label, "message " + std::to_string(i) + " lies past the DAT1 block");
        // To the zero unit, stepping over escape sequences whole: their data may hold zeros.
        std::size_t p = m.offset;
        bool ended = false;
        while (dat.size() - p >= unit) { // each pass moves forward at least one unit
            const std::uint16_t v = unit == 2 ? order.u16(dat, p) : dat[p];
            if (v == 0) {
                ended = true;
                break;
            }
            if (v == kEscape) {
                if (dat.size() - p < unit + 1 || dat[p + unit] < unit + 1 ||
                    dat[p + unit] > dat.size() - p)
                    throw damaged(label, "message " + std::to_string(i) +
                                             " has an escape sequence that runs past its end");
                p += dat[p + unit];
                continue;
            }
            p += unit;
        }
        if (!ended)
            throw damaged(label, "message " + std::to_string(i) + " has no end in DAT1");
        m.bytes.assign(dat.begin() + m.offset, dat.begin() + static_cast<std::ptrdiff_t>(p));
    }
    const auto mid = std::find_if(bmg.blocks.begin(), bmg.blocks.end(),
                                  [](const BmgBlock& b) { return b.magic == "MID1"; });
    if (mid != bmg.blocks.end() && mid->size >= 0x10) {
        const auto m = within.subspan(mid->offset, mid->size);
        const std::uint16_t idCount = order.u16(m, 0x08); // 0x08 IDs, from 0x10
        const std::size_t n = std::min<std::size_t>(idCount, (m.size() - 0x10) / 4);
        for (std::size_t i = 0; i < n; ++i)
            bmg.ids.push_back(order.u32(m, 0x10 + 4 * i));
    }
    return bmg;
}

std::vector<std::string> bmgTexts(const Bmg& bmg, bool oneLine)
{
    const Converters conv(bmg);
    std::vector<std::string> texts;
    texts.reserve(bmg.messages.size());
    for (const BmgMessage& m : bmg.messages)
        texts.push_back(decodeMessage(bmg, m, conv, oneLine));
    return texts;
}

std::string bmgTextFile(const Bmg& bmg)
{
    std::string out;
    for (const std::string& line : bmgTexts(bmg, true))
        out += line + "\n";
    return out;
}

std::string bmgJson(const Bmg& bmg)
{
    const std::vector<std::string> texts = bmgTexts(bmg, false);
    std::string out = "{\"encoding\": " + jsonString(bmgEncodingName(bmg)) + ", \"messages\": [";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        out += i == 0 ? "\n" : ",\n";
        out += "  {\"index\": " + std::to_string(i);
        if (i < bmg.ids.size())
            out += ", \"id\": " + std::to_string(bmg.ids[i]);
        out += ", \"attributes\": \"" + hexLower(bmg.messages[i].attributes) + "\"";
        out += ", \"text\": " + jsonString(texts[i]) + "}";
    }
    out += texts.empty() ? "]}\n" : "\n]}\n";
    return out;
}

std::vector<std::string> parseBmgTextFile(std::string_view text, std::size_t messages,
                                          const std::string& label)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) { // each pass consumes one line
        const std::size_t end = text.find('\n', at);
        std::string_view line =
            end == std::string_view::npos ? text.substr(at) : text.substr(at, end - at);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        lines.emplace_back(line);
        at = end == std::string_view::npos ? text.size() : end + 1;
    }
    if (lines.size() != messages)
        throw Error("\"" + label + "\" has " + std::to_string(lines.size()) +
                    " lines; the message file has " + std::to_string(messages) + " messages");
    return lines;
}

std::vector<std::uint8_t> writeBmg(const Bmg& bmg, const std::vector<std::string>& texts)
{
    if (texts.size() != bmg.messages.size())
        throw Error(std::to_string(texts.size()) + " texts were given for " +
                    std::to_string(bmg.messages.size()) + " messages");
    const Order order{bmg.bigEndian};
    const Converters conv(bmg);
    const std::size_t unit = unitSize(bmg);
    std::vector<std::vector<std::uint8_t>> encoded;
    encoded.reserve(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i)
        encoded.push_back(encodeMessage(bmg, texts[i], i, conv));

    const BmgBlock& datBlock = bmg.blocks[bmg.dat1];
    const std::span<const std::uint8_t> oldData(
        bmg.original.data() + datBlock.offset + kBlockHeader, datBlock.size - kBlockHeader);
    // The messages by their old offset, in the order they lay.
    std::map<std::uint32_t, std::vector<std::size_t>> byOffset;
    for (std::size_t i = 0; i < bmg.messages.size(); ++i)
        byOffset[bmg.messages[i].offset].push_back(i);

    std::vector<std::uint8_t> data;
    std::vector<std::uint32_t> newOffset(bmg.messages.size(), 0);
    std::vector<std::size_t> apart; // messages written after the others
    std::size_t oldEnd = byOffset.empty() ? oldData.size() : byOffset.begin()->first;
    data.insert(data.end(), oldData.begin(), oldData.begin() + static_cast<std::ptrdiff_t>(oldEnd));
    auto append = [&](std::size_t i) {
        newOffset[i] = static_cast<std::uint32_t>(data.size());
        data.insert(data.end(), encoded[i].begin(), encoded[i].end());
        data.insert(data.end(), unit, 0);
    };
    for (const auto& [offset, indices] : byOffset) {
        if (offset < oldEnd) {
            // It began inside the message before it (a shared tail): it gets its own copy.
            apart.insert(apart.end(), indices.begin(), indices.end());
            continue;
        }
        data.insert(data.end(), oldData.begin() + static_cast<std::ptrdiff_t>(oldEnd),
                    oldData.begin() + offset);
        const std::size_t first = indices.front();
        append(first);
        for (std::size_t k = 1; k < indices.size(); ++k) {
            if (encoded[indices[k]] == encoded[first])
                newOffset[indices[k]] = newOffset[first];
            else
                apart.push_back(indices[k]);
        }
        oldEnd = offset + bmg.messages[first].bytes.size() + unit;
    }
    for (const std::size_t i : apart)
        append(i);
    if (data.size() == oldEnd && apart.empty()) {
        // The messages take their old room: the bytes after them stay as they were.
        data.insert(data.end(), oldData.begin() + static_cast<std::ptrdiff_t>(oldEnd),
                    oldData.end());
    } else {
        const std::size_t align = alignmentOf(datBlock.size);
        while ((kBlockHeader + data.size()) % align != 0) // fewer than 32 passes
            data.push_back(0);
    }
    const std::uint64_t newDatSize = kBlockHeader + data.size();
    const std::uint64_t newFileSize = std::uint64_t{bmg.fileSize} - datBlock.size + newDatSize;
    if (newFileSize > 0xFFFFFFFFu)
        throw Error("The messages do not fit a message file");

    std::vector<std::uint8_t> out(bmg.original.begin(),
                                  bmg.original.begin() + static_cast<std::ptrdiff_t>(kHeaderSize));
    order.put32(out, 0x08, static_cast<std::uint32_t>(newFileSize));
    std::size_t lastEnd = kHeaderSize;
    for (std::size_t b = 0; b < bmg.blocks.size(); ++b) {
        const BmgBlock& block = bmg.blocks[b];
        const std::size_t at = out.size();
        if (b == bmg.dat1) {
            out.insert(out.end(), bmg.original.begin() + static_cast<std::ptrdiff_t>(block.offset),
                       bmg.original.begin() + static_cast<std::ptrdiff_t>(block.offset + 4));
            out.resize(at + kBlockHeader);
            order.put32(out, at + 4, static_cast<std::uint32_t>(newDatSize));
            out.insert(out.end(), data.begin(), data.end());
        } else {
            out.insert(out.end(), bmg.original.begin() + static_cast<std::ptrdiff_t>(block.offset),
                       bmg.original.begin() +
                           static_cast<std::ptrdiff_t>(block.offset + block.size));
            if (b == bmg.inf1) {
                for (std::size_t i = 0; i < bmg.messages.size(); ++i)
                    order.put32(out, at + 0x10 + i * bmg.entrySize, newOffset[i]);
            }
        }
        lastEnd = block.offset + block.size;
    }
    // Bytes after the last block, inside the declared size and past it, stay as they were.
    out.insert(out.end(), bmg.original.begin() + static_cast<std::ptrdiff_t>(lastEnd),
               bmg.original.end());
    return out;
}

} // namespace cartscope::core
