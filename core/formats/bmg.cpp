#include "core/formats/bmg.h"

#include <algorithm>

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/base/text.h"
#include "core/formats/bmg_codec.h"
#include "core/formats/nitro.h"

namespace cartscope::core {

namespace {

using bmg::kBlockHeader;
using bmg::kEscape;
using bmg::kHeaderSize;
using bmg::Order;

// The byte order is the one in which the declared size fits the file and the block count is a
// 16-bit number (a size such as 0x00010100 reads the same both ways; the count, a few blocks,
// never does); then the encoding byte.
void readHeader(Bmg& bmg, std::span<const std::uint8_t> bytes, const std::string& label)
{
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
    bmg.fileSize = Order{bmg.bigEndian}.u32(bytes, 0x08);
    bmg.encodingByte = bytes[0x10]; // 0x10 encoding
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
}

// Bounded by the block count and by the file: each block is at least 8 bytes long.
void readBlocks(Bmg& bmg, std::span<const std::uint8_t> within, const std::string& label)
{
    const Order order{bmg.bigEndian};
    const std::uint32_t blockCount = order.u32(within, 0x0C); // 0x0C blocks
    std::size_t at = kHeaderSize;
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
}

// Where message `index`, from `from` in DAT1's data, ends: at its zero unit, stepping over
// escape sequences whole (their data may hold zeros).
std::size_t messageEnd(const Bmg& bmg, std::span<const std::uint8_t> dat, std::size_t from,
                       std::size_t index, const std::string& label)
{
    const Order order{bmg.bigEndian};
    const std::size_t unit = bmg::unitSize(bmg);
    std::size_t p = from;
    while (dat.size() - p >= unit) { // each pass moves forward at least one unit
        const std::uint16_t v = unit == 2 ? order.u16(dat, p) : dat[p];
        if (v == 0)
            return p;
        if (v != kEscape) {
            p += unit;
            continue;
        }
        if (dat.size() - p < unit + 1 || dat[p + unit] < unit + 1 || dat[p + unit] > dat.size() - p)
            throw damaged(label, "message " + std::to_string(index) +
                                     " has an escape sequence that runs past its end");
        p += dat[p + unit];
    }
    throw damaged(label, "message " + std::to_string(index) + " has no end in DAT1");
}

void readMessages(Bmg& bmg, std::span<const std::uint8_t> within, const std::string& label)
{
    const Order order{bmg.bigEndian};
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
    bmg.messages.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        BmgMessage& m = bmg.messages[i];
        const std::size_t e = 0x10 + i * bmg.entrySize;
        m.offset = order.u32(inf, e);
        const auto attributes = inf.subspan(e + 4, bmg.entrySize - 4u);
        m.attributes.assign(attributes.begin(), attributes.end());
        if (m.offset >= dat.size())
            throw damaged(label, "message " + std::to_string(i) + " lies past the DAT1 block");
        const auto bytes =
            dat.subspan(m.offset, messageEnd(bmg, dat, m.offset, i, label) - m.offset);
        m.bytes.assign(bytes.begin(), bytes.end());
    }
}

// MID1's message IDs, as many as its count and its block both hold.
void readIds(Bmg& bmg, std::span<const std::uint8_t> within)
{
    const auto mid = std::find_if(bmg.blocks.begin(), bmg.blocks.end(),
                                  [](const BmgBlock& b) { return b.magic == "MID1"; });
    if (mid == bmg.blocks.end() || mid->size < 0x10)
        return;
    const Order order{bmg.bigEndian};
    const auto m = within.subspan(mid->offset, mid->size);
    const std::uint16_t idCount = order.u16(m, 0x08); // 0x08 IDs, from 0x10
    const std::size_t n = std::min<std::size_t>(idCount, (m.size() - 0x10) / 4);
    for (std::size_t i = 0; i < n; ++i)
        bmg.ids.push_back(order.u32(m, 0x10 + 4 * i));
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
    readHeader(bmg, bytes, label);
    const auto within = bytes.first(bmg.fileSize);
    readBlocks(bmg, within, label);
    readMessages(bmg, within, label);
    readIds(bmg, within);
    return bmg;
}

std::vector<std::string> bmgTexts(const Bmg& bmg, bool oneLine)
{
    const bmg::Converters conv(bmg);
    std::vector<std::string> texts;
    texts.reserve(bmg.messages.size());
    for (const BmgMessage& m : bmg.messages)
        texts.push_back(bmg::decodeMessage(bmg, m, conv, oneLine));
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
        out += ", \"attributes\": \"" + hexBytes(bmg.messages[i].attributes, HexCase::Lower) + "\"";
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

} // namespace cartscope::core
