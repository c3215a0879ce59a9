#include "core/formats/nitro.h"

#include <algorithm>

#include "core/base/le.h"

namespace cartscope::core {

namespace {

constexpr std::size_t kHeaderSize = 0x10;
constexpr std::size_t kBlockHeaderSize = 8;
constexpr std::uint16_t kByteOrderMark = 0xFEFF;

std::string reversedMagic(std::span<const std::uint8_t> bytes, std::size_t at)
{
    std::string magic(4, ' ');
    for (std::size_t i = 0; i < 4; ++i)
        magic[i] = static_cast<char>(bytes[at + 3 - i]);
    return magic;
}

std::string article(std::string_view magic)
{
    // "an NCLR", "an NFTR", "an NANR": every container's name starts with a vowel sound.
    return magic.starts_with("N") ? "an " : "a ";
}

} // namespace

Error damaged(const std::string& label, const std::string& what)
{
    return Error("\"" + label + "\" is damaged: " + what);
}

const NitroBlock* NitroFile::find(std::string_view blockMagic) const
{
    const auto it = std::find_if(blocks.begin(), blocks.end(),
                                 [&](const NitroBlock& b) { return b.magic == blockMagic; });
    return it == blocks.end() ? nullptr : &*it;
}

const NitroBlock& requireBlock(const NitroFile& file, std::string_view blockMagic,
                               const std::string& label)
{
    const NitroBlock* block = file.find(blockMagic);
    if (block == nullptr)
        throw damaged(label, "it has no " + std::string(blockMagic) + " block");
    return *block;
}

NitroFile readNitro(std::span<const std::uint8_t> bytes, std::string_view magic,
                    const std::string& label)
{
    if (bytes.size() < kHeaderSize || reversedMagic(bytes, 0) != magic ||
        le16(bytes, 0x04) != kByteOrderMark)
        throw Error("\"" + label + "\" is not " + article(magic) + std::string(magic) + " file");
    NitroFile file;
    file.magic = std::string(magic);
    file.version = le16(bytes, 0x06);                   // 0x06 version
    const std::uint32_t fileSize = le32(bytes, 0x08);   // 0x08 file size
    const std::uint16_t headerSize = le16(bytes, 0x0C); // 0x0C header size
    const std::uint16_t blockCount = le16(bytes, 0x0E); // 0x0E block count
    if (fileSize > bytes.size())
        throw damaged(label, "it is cut short (" + std::to_string(bytes.size()) + " of " +
                                 std::to_string(fileSize) + " bytes)");
    if (headerSize < kHeaderSize || headerSize > fileSize)
        throw damaged(label, "the header size " + std::to_string(headerSize) + " does not fit");
    // Bytes after the declared size (padding in an archive) are not part of the file.
    const std::span<const std::uint8_t> within = bytes.first(fileSize);
    std::size_t at = headerSize;
    // Bounded by the block count, and each block moves at least 8 bytes forward in the file.
    for (std::uint16_t i = 0; i < blockCount; ++i) {
        if (!fits(at, kBlockHeaderSize, within.size()))
            throw damaged(label, "block " + std::to_string(i + 1) + " of " +
                                     std::to_string(blockCount) + " lies past the end");
        const std::uint32_t size = le32(within, at + 4);
        const std::string blockMagic = reversedMagic(within, at);
        if (size < kBlockHeaderSize || !fits(at, size, within.size()))
            throw damaged(label, "the " + blockMagic + " block's size " + std::to_string(size) +
                                     " does not fit");
        file.blocks.push_back(
            {blockMagic, at, within.subspan(at + kBlockHeaderSize, size - kBlockHeaderSize)});
        at += size;
    }
    return file;
}

} // namespace cartscope::core
