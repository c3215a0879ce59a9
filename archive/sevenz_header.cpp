#include "archive/sevenz_header.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <lzma.h>
#include <span>
#include <string_view>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/base/text.h"
#include "core/base/units.h"
#include "core/checksum/crc32.h"

namespace cartscope::archive {

namespace {

constexpr std::size_t kSignatureHeaderSize = 32;
constexpr std::array<std::uint8_t, 6> kSignature = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};

// Property ids of the header.
enum Id : std::uint8_t {
    kEnd = 0x00,
    kHeader = 0x01,
    kArchiveProperties = 0x02,
    kAdditionalStreamsInfo = 0x03,
    kMainStreamsInfo = 0x04,
    kFilesInfo = 0x05,
    kPackInfo = 0x06,
    kUnpackInfo = 0x07,
    kSubStreamsInfo = 0x08,
    kSize = 0x09,
    kCrc = 0x0A,
    kFolder = 0x0B,
    kCodersUnpackSize = 0x0C,
    kNumUnpackStream = 0x0D,
    kEmptyStream = 0x0E,
    kEmptyFile = 0x0F,
    kName = 0x11,
    kEncodedHeader = 0x17,
};

// Bounds no archive a program writes comes near: 7-Zip itself allows 64 coders in a block and
// 64 streams between them.
constexpr std::uint64_t kMaxCoders = 64;
constexpr std::uint64_t kMaxFolderStreams = 64;
constexpr std::uint32_t kLzma2MaxProperty = 40;

// Why the header cannot be read; turned into the user's message at the top.
struct Damaged {
    std::string why;
};

[[noreturn]] void damaged(const char* why = "its header is damaged")
{
    throw Damaged{why};
}

// The header's bytes, read front to back; every read checked against what is left.
class Cursor {
public:
    explicit Cursor(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    std::uint64_t left() const { return m_bytes.size() - m_at; }

    std::uint8_t byte()
    {
        if (m_at >= m_bytes.size())
            damaged();
        return m_bytes[m_at++];
    }

    std::span<const std::uint8_t> take(std::uint64_t n)
    {
        if (n > left())
            damaged();
        const auto s = m_bytes.subspan(m_at, static_cast<std::size_t>(n));
        m_at += static_cast<std::size_t>(n);
        return s;
    }

    std::uint32_t u32() { return core::le32(take(4)); }

    // 7z's variable-length number: the leading one bits of the first byte count the bytes that
    // follow (low byte first); the first byte's remaining bits are the value's top.
    std::uint64_t number()
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

    // A count of things each taking at least `bytesEach` of the bytes left (or bits, when
    // `bytesEach` is 0: one bit each): a count that could not fit is damage, not an allocation.
    std::size_t count(std::uint64_t bytesEach = 1)
    {
        const std::uint64_t n = number();
        const std::uint64_t room = bytesEach == 0 ? left() * 8 : left() / bytesEach;
        if (n > room)
            damaged();
        return static_cast<std::size_t>(n);
    }

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_at = 0;
};

// `n` flags, most significant bit of each byte first.
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

struct Coder {
    std::vector<std::uint8_t> id;
    std::vector<std::uint8_t> properties;
    std::uint64_t inStreams = 1;
    std::uint64_t outStreams = 1;
};

struct Folder {
    std::vector<Coder> coders;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> bindPairs; // in index, out index
    std::uint64_t packedStreams = 0;
    std::vector<std::uint64_t> unpackSizes; // one per out stream
    std::optional<std::uint32_t> crc;
    std::uint64_t outStreams = 0;

    // The out stream no bind pair consumes: the block's output.
    std::uint64_t unpackSize() const
    {
        for (std::uint64_t out = 0; out < outStreams; ++out) {
            const bool bound = std::any_of(bindPairs.begin(), bindPairs.end(),
                                           [&](const auto& p) { return p.second == out; });
            if (!bound)
                return unpackSizes[static_cast<std::size_t>(out)];
        }
        damaged();
    }
};

struct Streams {
    std::uint64_t packPosition = 0;
    std::vector<std::uint64_t> packSizes;
    std::vector<Folder> folders;
    std::vector<std::uint64_t> substreams;     // per folder
    std::vector<std::uint64_t> substreamSizes; // every substream, in order
};

bool isId(const Coder& c, std::initializer_list<std::uint8_t> id)
{
    return std::equal(c.id.begin(), c.id.end(), id.begin(), id.end());
}

const std::initializer_list<std::uint8_t> kCopyId = {0x00};
const std::initializer_list<std::uint8_t> kLzmaId = {0x03, 0x01, 0x01};
const std::initializer_list<std::uint8_t> kLzma2Id = {0x21};
const std::initializer_list<std::uint8_t> kPpmdId = {0x03, 0x04, 0x01};
const std::initializer_list<std::uint8_t> kAesId = {0x06, 0xF1, 0x07, 0x01};

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

// liblzma's stream, ended when the object goes.
struct LzmaStream {
    lzma_stream strm = LZMA_STREAM_INIT;
    ~LzmaStream() { lzma_end(&strm); }
};

// The filter's options as liblzma decodes them from 7z's properties; freed with the object.
struct Filters {
    std::array<lzma_filter, 2> list{{{LZMA_VLI_UNKNOWN, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}}};
    ~Filters() { std::free(list[0].options); }
};

std::vector<std::uint8_t> readAt(const core::Stream& file, std::uint64_t at, std::uint64_t size)
{
    if (at > file.size() || size > file.size() - at)
        damaged("its header lies past the end of the file");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (file.pread(at, bytes) != bytes.size())
        damaged("its header lies past the end of the file");
    return bytes;
}

// The encoded header: one block of one coder (LZMA, LZMA2 or stored), decoded with liblzma
// under kMaxSevenZipHeaderMemory into at most kMaxSevenZipHeaderSize bytes.
std::vector<std::uint8_t> decodeHeader(const core::Stream& file, const Streams& s)
{
    if (s.folders.size() != 1 || s.packSizes.size() != 1)
        damaged();
    const Folder& f = s.folders[0];
    if (f.coders.size() != 1 || f.packedStreams != 1 || f.outStreams != 1)
        damaged("its header is stored in a way Cartscope does not decode");
    const Coder& coder = f.coders[0];
    if (isId(coder, kAesId))
        damaged("its file list is encrypted");
    const std::uint64_t unpacked = f.unpackSizes[0];
    if (unpacked > kMaxSevenZipHeaderSize)
        damaged("its header is larger than 64 MiB");
    if (s.packPosition > UINT64_MAX - kSignatureHeaderSize)
        damaged("its header lies past the end of the file");
    const std::uint64_t packed = s.packSizes[0];
    if (packed > kMaxSevenZipHeaderSize)
        damaged("its header is larger than 64 MiB");
    const std::vector<std::uint8_t> in =
        readAt(file, kSignatureHeaderSize + s.packPosition, packed);
    std::vector<std::uint8_t> out;
    if (isId(coder, kCopyId)) {
        if (packed != unpacked)
            damaged();
        out = in;
    } else {
        Filters filters;
        if (isId(coder, kLzmaId))
            filters.list[0].id = LZMA_FILTER_LZMA1;
        else if (isId(coder, kLzma2Id))
            filters.list[0].id = LZMA_FILTER_LZMA2;
        else
            damaged("its header is stored in a way Cartscope does not decode");
        if (lzma_properties_decode(&filters.list[0], nullptr, coder.properties.data(),
                                   coder.properties.size()) != LZMA_OK)
            damaged();
        if (lzma_raw_decoder_memusage(filters.list.data()) > kMaxSevenZipHeaderMemory)
            damaged("its header needs more than 64 MiB of memory to decode");
        LzmaStream z;
        if (lzma_raw_decoder(&z.strm, filters.list.data()) != LZMA_OK)
            damaged("its header needs more than 64 MiB of memory to decode");
        z.strm.next_in = in.data();
        z.strm.avail_in = in.size();
        // Grown as the output comes, never to the declared size ahead of it.
        constexpr std::size_t kStep = std::size_t{1} << 20;
        // Bounded: every round produces output (or ends), and the output stops at `unpacked`.
        while (out.size() < unpacked) {
            const std::size_t have = out.size();
            const std::size_t inBefore = z.strm.avail_in;
            const auto step =
                static_cast<std::size_t>(std::min<std::uint64_t>(kStep, unpacked - have));
            out.resize(have + step);
            z.strm.next_out = out.data() + have;
            z.strm.avail_out = step;
            const lzma_ret r = lzma_code(&z.strm, LZMA_RUN);
            out.resize(have + step - z.strm.avail_out);
            if (r == LZMA_STREAM_END)
                break;
            if (r != LZMA_OK || (out.size() == have && z.strm.avail_in == inBefore))
                damaged();
        }
        if (out.size() != unpacked)
            damaged();
    }
    if (f.crc && core::crc32::crc32Of(out) != *f.crc)
        damaged("its header does not match its CRC-32");
    return out;
}

std::vector<std::string> readNames(Cursor& c, std::size_t files)
{
    if (c.byte() != 0)
        damaged("its file names are kept in another stream, which Cartscope does not read");
    std::vector<std::string> names;
    std::u16string name;
    // Bounded by the property's bytes.
    while (c.left() >= 2) {
        const auto unit = core::le16(c.take(2));
        if (unit != 0) {
            name.push_back(static_cast<char16_t>(unit));
            continue;
        }
        if (names.size() == files)
            damaged();
        names.push_back(core::utf16ToUtf8(name));
        name.clear();
    }
    if (names.size() != files || c.left() != 0 || !name.empty())
        damaged();
    return names;
}

void readFilesInfo(Cursor& c, const Streams& s, SevenZipHeader& header)
{
    const std::size_t files = c.count(0);
    std::vector<bool> emptyStream(files, false);
    std::vector<std::string> names(files);
    // Bounded by the bytes left.
    for (std::uint8_t id = c.byte(); id != kEnd; id = c.byte()) {
        Cursor property(c.take(c.number()));
        if (id == kEmptyStream)
            emptyStream = bits(property, files);
        else if (id == kName)
            names = readNames(property, files);
        // Times, attributes, the empty-file and anti flags, padding: nothing here needs them.
    }
    std::size_t folder = 0;
    std::uint64_t inFolder = 0; // substreams of `folder` already given out
    std::uint64_t skip = 0;
    std::size_t substream = 0;
    header.files.reserve(files);
    for (std::size_t i = 0; i < files; ++i) {
        SevenZipFile file;
        file.name = std::move(names[i]);
        if (!emptyStream[i]) {
            // Bounded by the folder count.
            while (folder < s.folders.size() && inFolder == s.substreams[folder]) {
                ++folder;
                inFolder = 0;
                skip = 0;
            }
            if (folder == s.folders.size() || substream >= s.substreamSizes.size())
                damaged();
            file.hasStream = true;
            file.folder = folder;
            file.skip = skip;
            file.size = s.substreamSizes[substream++];
            skip += file.size;
            ++inFolder;
        }
        header.files.push_back(std::move(file));
    }
    if (substream != s.substreamSizes.size())
        damaged();
}

SevenZipHeader parseHeader(const core::Stream& file, std::vector<std::uint8_t> bytes)
{
    SevenZipHeader header;
    if (bytes.empty())
        return header;
    Cursor c(bytes);
    std::uint8_t id = c.byte();
    if (id == kEncodedHeader) {
        const Streams encoded = readStreamsInfo(c);
        // An encoded header is decoded once: one that decodes to another encoded header is
        // refused rather than followed.
        bytes = decodeHeader(file, encoded);
        c = Cursor(bytes);
        id = c.byte();
    }
    if (id != kHeader)
        damaged();
    id = c.byte();
    if (id == kArchiveProperties) {
        // Bounded by the bytes left.
        while (c.byte() != kEnd)
            c.take(c.number());
        id = c.byte();
    }
    if (id == kAdditionalStreamsInfo) {
        readStreamsInfo(c);
        id = c.byte();
    }
    Streams main;
    if (id == kMainStreamsInfo) {
        main = readStreamsInfo(c);
        id = c.byte();
    }
    for (const Folder& f : main.folders) {
        SevenZipFolder folder;
        folder.unpackSize = f.unpackSize();
        for (const Coder& coder : f.coders) {
            const std::uint64_t d = dictionaryOf(coder);
            folder.dictionary = std::max(folder.dictionary, d);
            folder.decoderMemory += d;
        }
        header.folders.push_back(folder);
    }
    if (id == kFilesInfo) {
        readFilesInfo(c, main, header);
        id = c.byte();
    } else if (!main.substreamSizes.empty()) {
        damaged();
    }
    if (id != kEnd)
        damaged();
    return header;
}

} // namespace

SevenZipHeader readSevenZipHeader(const core::Stream& file, const std::string& path)
{
    try {
        std::array<std::uint8_t, kSignatureHeaderSize> start{};
        if (file.pread(0, start) != start.size() ||
            !std::equal(kSignature.begin(), kSignature.end(), start.begin()))
            damaged("it does not start with a 7z signature");
        if (core::crc32::crc32Of(std::span(start).subspan(12)) != core::le32(start, 8))
            damaged("its signature header does not match its CRC-32");
        const std::uint64_t offset = core::le64(start, 12);
        const std::uint64_t size = core::le64(start, 20);
        if (size > kMaxSevenZipHeaderSize)
            damaged("its header is larger than 64 MiB");
        if (offset > UINT64_MAX - kSignatureHeaderSize)
            damaged("its header lies past the end of the file");
        std::vector<std::uint8_t> bytes = readAt(file, kSignatureHeaderSize + offset, size);
        if (core::crc32::crc32Of(bytes) != core::le32(start, 28))
            damaged("its header does not match its CRC-32");
        return parseHeader(file, std::move(bytes));
    } catch (const Damaged& d) {
        throw core::Error("\"" + path + "\" is not a readable 7z archive: " + d.why);
    }
}

std::uint64_t dictionaryLimit(std::uint64_t unpackSize)
{
    const std::uint64_t rounded =
        unpackSize > kMaxDictionary ? kMaxDictionary : std::bit_ceil(unpackSize);
    return std::min(kMaxDictionary, std::max(kMinDictionaryLimit, rounded));
}

std::uint64_t checkSevenZip(const SevenZipHeader& header,
                            const std::function<bool(const SevenZipFile& file)>& wanted,
                            const std::string& path)
{
    std::uint64_t largest = 0;
    for (const SevenZipFolder& f : header.folders) {
        if (f.dictionary > dictionaryLimit(f.unpackSize))
            throw core::Error("\"" + path + "\": a block of the archive declares a " +
                              core::humanBytes(f.dictionary) + " dictionary for " +
                              core::humanBytes(f.unpackSize) + " of data; at most " +
                              core::humanBytes(dictionaryLimit(f.unpackSize)) +
                              " is allowed for it");
        largest = std::max(largest, f.decoderMemory);
    }
    for (const SevenZipFile& f : header.files)
        if (f.hasStream && f.skip > kMaxSolidSkip && wanted(f))
            throw core::Error("\"" + path + "\": the member \"" + f.name + "\" lies behind " +
                              core::humanBytes(f.skip) +
                              " of other data in its solid block; at most " +
                              core::humanBytes(kMaxSolidSkip) + " is decoded to reach a member");
    return largest + kSevenZipReaderOverhead;
}

} // namespace cartscope::archive
