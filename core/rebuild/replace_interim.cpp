// A small stand-in for replacing files of an image: plain data files only, each new file no
// larger than its slot, changed through the allocation table. Everything else is refused.

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/base/error.h"
#include "core/fs/filelist.h"
#include "core/fs/fnt.h"
#include "core/image/header.h"
#include "core/image/header_record.h"
#include "core/io/stream.h"
#include "core/rebuild/replace.h"

namespace cartscope::core::rebuild {

namespace {

struct Slot {
    std::uint32_t fileId = 0;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

struct Tables {
    std::uint64_t fatPosition = 0;
    std::vector<TFileEntry> files;
    std::vector<TDirEntry> dirs;
};

Tables readTables(const Stream& image)
{
    HeaderRecord header;
    PopulateNDSHeader(image, header);
    Tables t;
    t.fatPosition = headerOffsetPosition(header.ds.FatOffset);
    ParseFNT(image, headerOffsetPosition(header.ds.FntOffset), t.fatPosition, t.files, t.dirs,
             header.ds.FntSize);
    return t;
}

Slot findSlot(const Stream& image, const Tables& t, const std::string& path)
{
    const std::vector<FileRow> rows = ParseArraysToList(t.files, t.dirs);
    const auto row =
        std::find_if(rows.begin(), rows.end(), [&](const FileRow& r) { return r.path == path; });
    if (row == rows.end() || row->pathTooLong)
        throw Error("\"" + path + "\": no such file in the image");
    const auto entry = std::find_if(t.files.begin(), t.files.end(),
                                    [&](const TFileEntry& f) { return f.FileId == row->fileId; });
    if (entry == t.files.end() || entry->Size < 0 || entry->EndOffset > image.size())
        throw Error("\"" + path + "\": replacing this file is not supported");
    // A range another file shares or overlaps would need the file moved.
    for (const TFileEntry& other : t.files) {
        if (other.FileId != entry->FileId && other.StartOffset < entry->EndOffset &&
            entry->StartOffset < other.EndOffset)
            throw Error("\"" + path + "\": replacing this file is not supported");
    }
    return {entry->FileId, entry->StartOffset, entry->EndOffset};
}

std::uint64_t fileSize(const std::string& path)
{
    const FileStream source(path);
    return source.size();
}

} // namespace

std::uint64_t replaceableSize(const Stream& image, const std::string& path)
{
    const Slot slot = findSlot(image, readTables(image), path);
    return slot.end - slot.start;
}

ReplaceResult replaceFiles(const Stream& image, std::span<const Replacement> replacements,
                           OutputFile& out, const ReplaceOptions& options)
{
    const Tables tables = readTables(image);
    struct Piece {
        std::uint64_t at = 0;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Piece> pieces;
    for (const Replacement& r : replacements) {
        const Slot slot = findSlot(image, tables, r.path);
        const std::uint64_t size = fileSize(r.source);
        if (size > slot.end - slot.start)
            throw Error("\"" + r.path + "\": a larger file is not supported");
        Piece data{slot.start, std::vector<std::uint8_t>(slot.end - slot.start, 0xFF)};
        const FileStream source(r.source);
        source.readExact(0, std::span(data.bytes).first(size));
        pieces.push_back(std::move(data));
        const auto end = static_cast<std::uint32_t>(slot.start + size);
        // 8 bytes per allocation entry: start, then end
        pieces.push_back(
            {tables.fatPosition + std::uint64_t{slot.fileId} * 8 + 4,
             {static_cast<std::uint8_t>(end), static_cast<std::uint8_t>(end >> 8),
              static_cast<std::uint8_t>(end >> 16), static_cast<std::uint8_t>(end >> 24)}});
    }
    std::sort(pieces.begin(), pieces.end(),
              [](const Piece& a, const Piece& b) { return a.at < b.at; });
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        if (pieces[i].at < pieces[i - 1].at + pieces[i - 1].bytes.size())
            throw Error("Replacing these files together is not supported");
    }
    const Checkpoint checkpoint = [&] {
        if (options.interrupted && options.interrupted())
            throw Error("Interrupted");
    };
    std::uint64_t done = 0;
    for (const Piece& p : pieces) {
        if (p.at > image.size() || p.bytes.size() > image.size() - p.at)
            throw Error("Replacing this file is not supported");
        out.copyFrom(image, done, p.at - done, checkpoint);
        out.write(p.bytes);
        done = p.at + p.bytes.size();
    }
    out.copyFrom(image, done, image.size() - done, checkpoint);
    return {out.size(), {}};
}

} // namespace cartscope::core::rebuild
