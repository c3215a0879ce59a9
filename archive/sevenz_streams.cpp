#include "archive/sevenz_streams.h"

#include <algorithm>

namespace cartscope::archive::sevenz {

namespace {

// Bounds no archive a program writes comes near: 7-Zip itself allows 64 coders in a block and
// 64 streams between them.
constexpr std::uint64_t kMaxCoders = 64;
constexpr std::uint64_t kMaxFolderStreams = 64;
constexpr std::uint32_t kLzma2MaxProperty = 40;

// "all defined" or a bit field, then a CRC-32 for each stream defined.
std::vector<std::optional<std::uint32_t>> digests(Cursor& c, std::size_t n)
{
    const bool all = c.byte() != 0;
    const std::vector<bool> defined = all ? std::vector<bool>(n, true) : bits(c, n);
    std::vector<std::optional<std::uint32_t>> out(n);
    for (std::size_t i = 0; i < n; ++i)
        if (defined[i])
            out[i] = c.u32();
    return out;
}

Folder readFolder(Cursor& c)
{
    Folder f;
    const std::size_t coders = c.count(2);
    if (coders == 0 || coders > kMaxCoders)
        damaged();
    std::uint64_t inTotal = 0;
    for (std::size_t i = 0; i < coders; ++i) {
        Coder coder;
        const std::uint8_t flags = c.byte();
        if (flags & 0xC0)
            damaged(); // alternative methods: never written
        const auto id = c.take(flags & 0x0F);
        coder.id.assign(id.begin(), id.end());
        if (flags & 0x10) {
            coder.inStreams = c.number();
            coder.outStreams = c.number();
            if (coder.inStreams > kMaxFolderStreams || coder.outStreams > kMaxFolderStreams)
                damaged();
        }
        if (flags & 0x20) {
            const auto props = c.take(c.number());
            coder.properties.assign(props.begin(), props.end());
        }
        inTotal += coder.inStreams;
        f.outStreams += coder.outStreams;
        if (inTotal > kMaxFolderStreams || f.outStreams > kMaxFolderStreams)
            damaged();
        f.coders.push_back(std::move(coder));
    }
    if (f.outStreams == 0)
        damaged();
    for (std::uint64_t i = 0; i + 1 < f.outStreams; ++i) {
        const std::uint64_t in = c.number();
        const std::uint64_t out = c.number();
        if (in >= inTotal || out >= f.outStreams)
            damaged();
        f.bindPairs.emplace_back(in, out);
    }
    if (inTotal < f.bindPairs.size())
        damaged();
    f.packedStreams = inTotal - f.bindPairs.size();
    if (f.packedStreams == 0)
        damaged();
    if (f.packedStreams > 1)
        for (std::uint64_t i = 0; i < f.packedStreams; ++i)
            if (c.number() >= inTotal)
                damaged();
    return f;
}

void readPackInfo(Cursor& c, Streams& s)
{
    s.packPosition = c.number();
    const std::size_t n = c.count();
    // Bounded by the bytes left.
    for (std::uint8_t id = c.byte(); id != kEnd; id = c.byte()) {
        if (id == kSize) {
            for (std::size_t i = 0; i < n; ++i)
                s.packSizes.push_back(c.number());
        } else if (id == kCrc) {
            digests(c, n);
        } else {
            damaged();
        }
    }
    if (s.packSizes.size() != n)
        damaged();
}

void readUnpackInfo(Cursor& c, Streams& s)
{
    if (c.byte() != kFolder)
        damaged();
    const std::size_t n = c.count(3);
    if (c.byte() != 0)
        damaged("its header keeps its blocks in another stream, which Cartscope does not read");
    for (std::size_t i = 0; i < n; ++i)
        s.folders.push_back(readFolder(c));
    if (c.byte() != kCodersUnpackSize)
        damaged();
    for (Folder& f : s.folders)
        for (std::uint64_t i = 0; i < f.outStreams; ++i)
            f.unpackSizes.push_back(c.number());
    for (std::uint8_t id = c.byte(); id != kEnd; id = c.byte()) {
        if (id != kCrc)
            damaged();
        const auto crcs = digests(c, n);
        for (std::size_t i = 0; i < n; ++i)
            s.folders[i].crc = crcs[i];
    }
}

void readSubStreamsInfo(Cursor& c, Streams& s)
{
    s.substreams.assign(s.folders.size(), 1);
    std::uint8_t id = c.byte();
    if (id == kNumUnpackStream) {
        std::uint64_t total = 0;
        for (std::uint64_t& n : s.substreams) {
            // Every substream past a block's first takes a size's byte further on.
            n = c.number();
            if (n > c.left() + 1)
                damaged();
            total += n;
            if (total > c.left() + s.folders.size())
                damaged();
        }
        id = c.byte();
    }
    for (std::size_t i = 0; i < s.folders.size(); ++i) {
        const std::uint64_t n = s.substreams[i];
        if (n == 0)
            continue;
        const std::uint64_t whole = s.folders[i].unpackSize();
        if (n > 1 && id != kSize)
            damaged();
        std::uint64_t sum = 0;
        for (std::uint64_t j = 1; j < n; ++j) {
            const std::uint64_t size = c.number();
            if (size > whole - sum)
                damaged();
            sum += size;
            s.substreamSizes.push_back(size);
        }
        s.substreamSizes.push_back(whole - sum);
    }
    if (id == kSize)
        id = c.byte();
    // Bounded by the bytes left.
    for (; id != kEnd; id = c.byte()) {
        if (id != kCrc)
            damaged();
        std::size_t unknown = 0;
        for (std::size_t i = 0; i < s.folders.size(); ++i)
            if (s.substreams[i] != 1 || !s.folders[i].crc)
                unknown += static_cast<std::size_t>(s.substreams[i]);
        digests(c, unknown);
    }
}

} // namespace

std::uint64_t Cursor::number()
{
    const std::uint8_t first = byte();
    std::uint64_t value = 0;
    std::uint8_t mask = 0x80;
    for (int i = 0; i < 8; ++i) {
        if ((first & mask) == 0) {
            const std::uint64_t high = first & (mask - 1u);
            return value | (high << (8 * i));
        }
        value |= static_cast<std::uint64_t>(byte()) << (8 * i);
        mask = static_cast<std::uint8_t>(mask >> 1);
    }
    return value;
}

std::size_t Cursor::count(std::uint64_t bytesEach)
{
    const std::uint64_t n = number();
    const std::uint64_t room = bytesEach == 0 ? left() * 8 : left() / bytesEach;
    if (n > room)
        damaged();
    return static_cast<std::size_t>(n);
}

std::vector<bool> bits(Cursor& c, std::size_t n)
{
    if ((n + 7) / 8 > c.left())
        damaged();
    std::vector<bool> out(n);
    std::uint8_t byte = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 8 == 0)
            byte = c.byte();
        out[i] = (byte & (0x80 >> (i % 8))) != 0;
    }
    return out;
}

std::uint64_t Folder::unpackSize() const
{
    for (std::uint64_t out = 0; out < outStreams; ++out) {
        const bool bound = std::any_of(bindPairs.begin(), bindPairs.end(),
                                       [&](const auto& p) { return p.second == out; });
        if (!bound)
            return unpackSizes[static_cast<std::size_t>(out)];
    }
    damaged();
}

bool isId(const Coder& c, std::span<const std::uint8_t> id)
{
    return std::equal(c.id.begin(), c.id.end(), id.begin(), id.end());
}

// The memory a coder's decoder takes for its window or model (0 for the others).
std::uint64_t dictionaryOf(const Coder& c)
{
    if (isId(c, kLzmaId)) {
        if (c.properties.size() < 5)
            damaged();
        return core::le32(c.properties, 1);
    }
    if (isId(c, kLzma2Id)) {
        if (c.properties.empty() || c.properties[0] > kLzma2MaxProperty)
            damaged();
        const std::uint32_t p = c.properties[0];
        if (p == kLzma2MaxProperty)
            return 0xFFFFFFFFu;
        return std::uint64_t{2u | (p & 1u)} << (p / 2 + 11);
    }
    if (isId(c, kPpmdId)) {
        if (c.properties.size() < 5)
            damaged();
        return core::le32(c.properties, 1);
    }
    return 0;
}

Streams readStreamsInfo(Cursor& c)
{
    Streams s;
    std::uint8_t id = c.byte();
    if (id == kPackInfo) {
        readPackInfo(c, s);
        id = c.byte();
    }
    if (id == kUnpackInfo) {
        readUnpackInfo(c, s);
        id = c.byte();
    }
    if (id == kSubStreamsInfo) {
        readSubStreamsInfo(c, s);
        id = c.byte();
    } else {
        s.substreams.assign(s.folders.size(), 1);
        for (const Folder& f : s.folders)
            s.substreamSizes.push_back(f.unpackSize());
    }
    if (id != kEnd)
        damaged();
    return s;
}

} // namespace cartscope::archive::sevenz
