#include <map>

#include "core/base/error.h"
#include "core/formats/bmg_codec.h"

namespace cartscope::core {

namespace {

using bmg::kBlockHeader;
using bmg::kHeaderSize;

// The alignment a rebuilt DAT1 keeps: the largest power of two up to 32 that divides the
// original block's size.
std::size_t alignmentOf(std::uint32_t size)
{
    std::size_t a = 32;
    while (a > 1 && size % a != 0)
        a /= 2;
    return a;
}

// DAT1's data again with the encoded messages, and each message's offset in it.
struct NewData {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> offsets;
};

// Messages go where they lay, in that order, with the bytes before and between them kept;
// messages that shared an offset share it while their bytes agree, and one that began inside
// another (a shared tail) or no longer agrees gets its own copy after the others.
NewData layOutMessages(const Bmg& bmg, const std::vector<std::vector<std::uint8_t>>& encoded)
{
    const std::size_t unit = bmg::unitSize(bmg);
    const BmgBlock& datBlock = bmg.blocks[bmg.dat1];
    const std::span<const std::uint8_t> oldData(
        bmg.original.data() + datBlock.offset + kBlockHeader, datBlock.size - kBlockHeader);
    std::map<std::uint32_t, std::vector<std::size_t>> byOffset;
    for (std::size_t i = 0; i < bmg.messages.size(); ++i)
        byOffset[bmg.messages[i].offset].push_back(i);

    NewData out;
    std::vector<std::uint8_t>& data = out.bytes;
    out.offsets.assign(bmg.messages.size(), 0);
    std::vector<std::size_t> apart;
    std::size_t oldEnd = byOffset.empty() ? oldData.size() : byOffset.begin()->first;
    data.assign(oldData.begin(), oldData.begin() + static_cast<std::ptrdiff_t>(oldEnd));
    auto append = [&](std::size_t i) {
        out.offsets[i] = static_cast<std::uint32_t>(data.size());
        data.insert(data.end(), encoded[i].begin(), encoded[i].end());
        data.insert(data.end(), unit, 0);
    };
    for (const auto& [offset, indices] : byOffset) {
        if (offset < oldEnd) {
            apart.insert(apart.end(), indices.begin(), indices.end());
            continue;
        }
        data.insert(data.end(), oldData.begin() + static_cast<std::ptrdiff_t>(oldEnd),
                    oldData.begin() + offset);
        const std::size_t first = indices.front();
        append(first);
        for (std::size_t k = 1; k < indices.size(); ++k) {
            if (encoded[indices[k]] == encoded[first])
                out.offsets[indices[k]] = out.offsets[first];
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
    return out;
}

} // namespace

std::vector<std::uint8_t> writeBmg(const Bmg& bmg, const std::vector<std::string>& texts)
{
    if (texts.size() != bmg.messages.size())
        throw Error(std::to_string(texts.size()) + " texts were given for " +
                    std::to_string(bmg.messages.size()) + " messages");
    const bmg::Order order{bmg.bigEndian};
    const bmg::Converters conv(bmg);
    std::vector<std::vector<std::uint8_t>> encoded;
    encoded.reserve(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i)
        encoded.push_back(bmg::encodeMessage(bmg, texts[i], i, conv));
    const NewData data = layOutMessages(bmg, encoded);

    const BmgBlock& datBlock = bmg.blocks[bmg.dat1];
    const std::uint64_t newDatSize = kBlockHeader + data.bytes.size();
    const std::uint64_t newFileSize = std::uint64_t{bmg.fileSize} - datBlock.size + newDatSize;
    if (newFileSize > 0xFFFFFFFFu)
        throw Error("The messages do not fit a message file");

    const auto original = [&](std::size_t from, std::size_t to) {
        return std::span<const std::uint8_t>(bmg.original).subspan(from, to - from);
    };
    std::vector<std::uint8_t> out(bmg.original.begin(),
                                  bmg.original.begin() + static_cast<std::ptrdiff_t>(kHeaderSize));
    order.put32(out, 0x08, static_cast<std::uint32_t>(newFileSize));
    std::size_t lastEnd = kHeaderSize;
    for (std::size_t b = 0; b < bmg.blocks.size(); ++b) {
        const BmgBlock& block = bmg.blocks[b];
        const std::size_t at = out.size();
        const auto kept = original(block.offset, block.offset + (b == bmg.dat1 ? 4 : block.size));
        out.insert(out.end(), kept.begin(), kept.end());
        if (b == bmg.dat1) {
            out.resize(at + kBlockHeader);
            order.put32(out, at + 4, static_cast<std::uint32_t>(newDatSize));
            out.insert(out.end(), data.bytes.begin(), data.bytes.end());
        } else if (b == bmg.inf1) {
            for (std::size_t i = 0; i < bmg.messages.size(); ++i)
                order.put32(out, at + 0x10 + i * bmg.entrySize, data.offsets[i]);
        }
        lastEnd = block.offset + block.size;
    }
    // Bytes after the last block, inside the declared size and past it, stay as they were.
    const auto tail = original(lastEnd, bmg.original.size());
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

} // namespace cartscope::core
