#include "archive/sevenz_header.h"

#include <algorithm>
#include <array>
#include <bit>
#include <span>

#include "archive/sevenz_streams.h"
#include "core/base/error.h"
#include "core/base/le.h"
#include "core/base/text.h"
#include "core/base/units.h"
#include "core/checksum/crc32.h"

namespace cartscope::archive {

namespace {

using namespace sevenz;

constexpr std::array<std::uint8_t, 6> kSignature = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};

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