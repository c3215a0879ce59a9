// Reading layout.json back: the JSON walked in the shape extract writes, then every field
// checked against the image and the limits before a build trusts any of it.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <set>
#include <unordered_set>

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/compress/code.h"
#include "core/rebuild/json_reader.h"
#include "core/rebuild/layout.h"
#include "core/rebuild/path_index.h"

namespace cartscope::core::rebuild {

namespace {

class Reader {
public:
    // extract writes a region or a run a line: the lines bound the vectors' first room.
    Reader(std::string_view text, const std::string& where)
        : m_json(text, where), m_where(where),
          m_lines(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')))
    {}

    Layout read()
    {
        Layout layout;
        bool format = false, version = false, size = false, regions = false, runs = false;
        m_json.object([&](std::string_view key) {
            if (key == "format" && once(format, key)) {
                if (m_json.string() != "cartscope-layout")
                    fail("is not a Cartscope layout");
            } else if (key == "version" && once(version, key)) {
                if (m_json.number() != 1)
                    fail("has a version this program does not read");
            } else if (key == "imageSize" && once(size, key)) {
                layout.imageSize = m_json.number();
            } else if (key == "regions" && once(regions, key)) {
                layout.regions.reserve(std::min(m_lines, kMaxTreeFiles + kMaxOverlays + 16));
                m_json.array([&] { layout.regions.push_back(region()); },
                             kMaxTreeFiles + kMaxOverlays + 16);
            } else if (key == "runs" && once(runs, key)) {
                layout.runs.reserve(
                    std::min(m_lines - std::min(m_lines, layout.regions.size()), kMaxRuns));
                m_json.array([&] { layout.runs.push_back(run()); }, kMaxRuns);
            } else {
                unknown(key);
            }
        });
        m_json.end();
        if (!format || !version || !size || !regions || !runs)
            fail("lacks one of format, version, imageSize, regions and runs");
        return layout;
    }

private:
    Region region()
    {
        Region r;
        bool kind = false, id = false, offset = false, size = false, path = false, mtime = false,
             sha = false;
        Decompressed packed;
        bool codec = false, packedSize = false, packedSha = false;
        m_json.object([&](std::string_view key) {
            if (key == "kind" && once(kind, key)) {
                const std::optional<RegionKind> k = regionKindNamed(m_json.string());
                if (!k)
                    fail("names a region kind this program does not know");
                r.kind = *k;
            } else if (key == "id" && once(id, key)) {
                r.id = static_cast<std::uint32_t>(bounded(m_json.number(), 0xFFFF, "a file ID"));
            } else if (key == "offset" && once(offset, key)) {
                r.offset = m_json.number();
            } else if (key == "size" && once(size, key)) {
                r.size = m_json.number();
            } else if ((key == "path" || key == "pathBytes") && once(path, "path")) {
                r.path = key == "path" ? m_json.string() : bytesOf(m_json.string());
            } else if (key == "mtimeNs" && once(mtime, key)) {
                r.mtimeNs = m_json.signedNumber();
            } else if (key == "sha1" && once(sha, key)) {
                r.sha1 = sha1();
            } else if (key == "codec" && once(codec, key)) {
                if (!packingNamed(m_json.string(), packed.codec))
                    fail("names a codec this program does not know");
            } else if (key == "decompressedSize" && once(packedSize, key)) {
                packed.size = bounded(m_json.number(), kMaxDeclared32, "a decompressed size");
            } else if (key == "decompressedSha1" && once(packedSha, key)) {
                packed.sha1 = sha1();
            } else {
                unknown(key);
            }
        });
        if (!kind || !offset || !size || !path)
            fail("has a region without kind, offset, size or path");
        if (id != (r.kind == RegionKind::File || r.kind == RegionKind::Overlay))
            fail("has a region whose file ID is missing or not expected");
        if (mtime == inLayoutFolder(r.kind))
            fail("has a region whose modification time is missing or not expected");
        if (codec != packedSize || codec != packedSha)
            fail("has a region with only some of codec, decompressedSize and decompressedSha1");
        if (codec)
            r.decompressed = packed;
        return r;
    }

    Run run()
    {
        Run r;
        bool offset = false, size = false, fill = false, file = false;
        m_json.object([&](std::string_view key) {
            if (key == "offset" && once(offset, key)) {
                r.offset = m_json.number();
            } else if (key == "size" && once(size, key)) {
                r.size = m_json.number();
            } else if (key == "fill" && once(fill, key)) {
                r.fill = static_cast<std::uint8_t>(bounded(m_json.number(), 0xFF, "a fill byte"));
            } else if ((key == "file" || key == "fileBytes") && once(file, "file")) {
                r.file = key == "file" ? m_json.string() : bytesOf(m_json.string());
            } else {
                unknown(key);
            }
        });
        if (!offset || !size || fill == file)
            fail("has a run without offset and size, or without exactly one of fill and file");
        return r;
    }

    Sha1 sha1()
    {
        const std::string hex = bytesOf(m_json.string());
        if (hex.size() != 20)
            fail("has a SHA-1 that is not 20 bytes");
        Sha1 d{};
        std::copy(hex.begin(), hex.end(), d.begin());
        return d;
    }

    std::string bytesOf(const std::string& hex)
    {
        std::string bytes;
        if (hex.size() % 2)
            fail("has hex text of odd length");
        for (std::size_t i = 0; i < hex.size(); i += 2) {
            unsigned v = 0;
            const auto [end, ec] = std::from_chars(hex.data() + i, hex.data() + i + 2, v, 16);
            if (ec != std::errc() || end != hex.data() + i + 2)
                fail("has hex text that is not hex");
            bytes += static_cast<char>(v);
        }
        return bytes;
    }

    std::uint64_t bounded(std::uint64_t v, std::uint64_t max, const char* what)
    {
        if (v > max)
            fail(std::string("has ") + what + " out of range");
        return v;
    }

    bool once(bool& seen, std::string_view key)
    {
        if (seen)
            fail("repeats the key \"" + std::string(key) + "\"");
        seen = true;
        return true;
    }
    [[noreturn]] void unknown(std::string_view key)
    {
        (void)key; // never shown: a hostile key could hold anything
        fail("has a key this program does not know");
    }
    [[noreturn]] void fail(const std::string& why) const
    {
        throw Error("The layout \"" + m_where + "\" " + why);
    }

    JsonReader m_json;
    const std::string& m_where;
    std::size_t m_lines;
};

// A component the tree can hold: not empty, "." or "..", no NUL; names from the image are at most
// 127 bytes, and extraction may add " (N)" to keep two apart.
bool goodComponent(std::string_view c)
{
    if (c.empty() || c == "." || c == ".." || c.find('\0') != std::string_view::npos)
        return false;
    if (c.size() <= kMaxNameBytes)
        return true;
    const std::size_t open = c.rfind(" (");
    return c.size() <= kMaxNameBytes + 8 && c.back() == ')' && open != std::string_view::npos &&
           c.size() - open <= 8 && c.size() - (c.size() - open) <= kMaxNameBytes;
}

std::string gapFileName(std::uint64_t offset)
{
    // "gaps/" and at least eight upper-case hex digits: one a run, so no format parsing.
    std::string name = kGapFolder;
    name += '/';
    appendHex(name, offset, 8);
    name += ".bin";
    return name;
}

[[noreturn]] void failLayout(const std::string& where, const std::string& why)
{
    throw Error("The layout \"" + where + "\" " + why);
}

bool insideImage(const Layout& l, std::uint64_t offset, std::uint64_t size)
{
    return offset <= l.imageSize && size <= l.imageSize - offset;
}

// A tree path: every component one the tree can hold, every folder on the way counted.
void checkPath(const Region& r, std::unordered_set<std::string_view>& folders,
               const std::string& where)
{
    if (r.path.size() > 4096)
        failLayout(where, "has a path longer than 4096 bytes");
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = r.path.find('/', start);
        const std::string_view c = std::string_view(r.path).substr(
            start, slash == std::string::npos ? slash : slash - start);
        if (!goodComponent(c))
            failLayout(where, "has a path that cannot be in the tree (\"" + r.path + "\")");
        if (slash == std::string::npos)
            break;
        // Bounded: every folder on the way counts, and there are at most 4,095.
        if (folders.insert(std::string_view(r.path).substr(0, slash)).second &&
            folders.size() > kMaxTreeFolders + 2)
            failLayout(where, "lists more than 4,095 folders");
        start = slash + 1;
    }
}

// The stream codecs pack tree files; the code compression the ARM9 and overlays.
void checkPacking(const Region& r, const std::string& where)
{
    if (!r.decompressed)
        return;
    const bool code = r.kind == RegionKind::Arm9 || r.kind == RegionKind::Overlay;
    if (r.decompressed->codec ? r.kind != RegionKind::File : !code)
        failLayout(where, "has a codec on a region that cannot be packed with it");
    if (!r.decompressed->codec && r.decompressed->size > kMaxCodeSize)
        failLayout(where, "has a decompressed size out of range");
}

// Regions: inside the image, counts within the limits, one of each single region, file IDs and
// paths once each, the tables under their own names.
void checkRegions(const Layout& l, const std::string& where)
{
    std::set<RegionKind> single;
    PathIndex paths(l.regions.size());
    std::vector<bool> fileIds(0x10000, false); // IDs are read as at most 0xFFFF
    std::unordered_set<std::string_view> folders;
    std::size_t files = 0, overlays = 0;
    for (const Region& r : l.regions) {
        if (!insideImage(l, r.offset, r.size))
            failLayout(where, "has a region past the end of the image (" + r.path + ")");
        if (r.kind == RegionKind::File) {
            if (++files > kMaxTreeFiles)
                failLayout(where, "lists more than 65,536 files");
            if (r.id >= fileIds.size() || fileIds[r.id])
                failLayout(where, "lists file ID " + std::to_string(r.id) + " twice");
            fileIds[r.id] = true;
        } else if (r.kind == RegionKind::Overlay) {
            if (++overlays > kMaxOverlays)
                failLayout(where, "lists more than 65,536 overlays");
        } else if (!single.insert(r.kind).second) {
            failLayout(where, std::string("lists the ") + regionKindName(r.kind) + " region twice");
        }
        checkPacking(r, where);
        if (inLayoutFolder(r.kind)) {
            if (r.path != (r.kind == RegionKind::Fnt ? kFntFile : kFatFile))
                failLayout(where, "names a table file other than fnt.bin and fat.bin");
            continue;
        }
        checkPath(r, folders, where);
        if (!paths.insert(r.path, 0))
            failLayout(where, "lists the path \"" + r.path + "\" twice");
    }
}

// Runs: in order, apart, each a gap file named by its offset or a fill of kMinFill or more; a
// shorter fill touches no other run (it fills a hole between regions whole).
void checkRuns(const Layout& l, const std::string& where)
{
    std::uint64_t end = 0;
    for (std::size_t i = 0; i < l.runs.size(); ++i) {
        const Run& r = l.runs[i];
        if (r.size == 0 || !insideImage(l, r.offset, r.size) || r.offset < end)
            failLayout(where, "has runs out of order, empty or past the end of the image");
        const bool touchesPrevious = i > 0 && r.offset == end;
        end = r.offset + r.size;
        const bool touchesNext = i + 1 < l.runs.size() && l.runs[i + 1].offset == end;
        if (r.fill && r.size < kMinFill && (touchesPrevious || touchesNext))
            failLayout(where, "has a fill shorter than 4096 bytes");
        if (!r.fill && r.file != gapFileName(r.offset))
            failLayout(where, "names a gap file other than gaps/<offset>.bin");
    }
}

// The regions' byte spans, sorted, with overlapping and touching ones merged.
std::vector<std::pair<std::uint64_t, std::uint64_t>> mergedSpans(const Layout& l)
{
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    spans.reserve(l.regions.size());
    for (const Region& r : l.regions)
        if (r.size)
            spans.emplace_back(r.offset, r.offset + r.size);
    std::sort(spans.begin(), spans.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
    for (const auto& s : spans) {
        if (!merged.empty() && s.first <= merged.back().second)
            merged.back().second = std::max(merged.back().second, s.second);
        else
            merged.push_back(s);
    }
    return merged;
}

// Every byte is covered exactly once by runs, and at least once by regions or runs.
void checkCoverage(const Layout& l, const std::string& where)
{
    const auto merged = mergedSpans(l);
    std::size_t next = 0; // the next merged region span
    std::uint64_t covered = 0;
    auto runIt = l.runs.begin();
    // Bounded: each pass consumes a span or a run.
    while (covered < l.imageSize) {
        if (next < merged.size() && merged[next].first <= covered) {
            covered = std::max(covered, merged[next].second);
            ++next;
        } else if (runIt != l.runs.end() && runIt->offset == covered) {
            covered += runIt->size;
            ++runIt;
        } else {
            failLayout(where, "leaves the bytes at 0x" + hexText(covered, 8) + " without a source");
        }
    }
    if (runIt != l.runs.end())
        failLayout(where, "has a run that overlaps a region");
    // A run that lies inside a region span would have been skipped above only if the span
    // consumed it; the walk takes runs only where no span covers, so check them apart.
    next = 0;
    for (const Run& r : l.runs) {
        while (next < merged.size() && merged[next].second <= r.offset)
            ++next;
        if (next < merged.size() && merged[next].first < r.offset + r.size)
            failLayout(where, "has a run that overlaps a region");
    }
}

void check(const Layout& l, const std::string& where)
{
    if (l.imageSize > kMaxImageSize)
        failLayout(where, "describes an image past 4 GiB");
    checkRegions(l, where);
    checkRuns(l, where);
    checkCoverage(l, where);
}

} // namespace

std::string gapFile(std::uint64_t offset)
{
    return gapFileName(offset);
}

Layout decodeLayout(std::string_view text, const std::string& where)
{
    if (text.size() > kMaxLayoutBytes)
        throw Error("The layout \"" + where + "\" is larger than 128 MiB");
    Layout layout = Reader(text, where).read();
    check(layout, where);
    return layout;
}

} // namespace cartscope::core::rebuild
