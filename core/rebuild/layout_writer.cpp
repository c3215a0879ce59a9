#include "core/rebuild/layout_writer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <map>
#include <optional>
#include <stdio.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>

#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/base/names.h"
#include "core/checksum/digest.h"
#include "core/fs/filelist.h"
#include "core/fs/system_files.h"
#include "core/io/whole_file.h"
#include "core/rebuild/layout.h"
#include "core/rebuild/shared_ranges.h"

namespace cartscope::core::rebuild {

namespace {

constexpr std::size_t kChunk = 1 << 20;

// The reading ahead was dropped (the run ended without a layout): stop where it is.
struct Stopped {};

void checkStop(const std::atomic<bool>& stop)
{
    if (stop.load(std::memory_order_relaxed))
        throw Stopped{};
}

// The regions of the rows planned, each under its planned path (applyRenames puts in the names
// the run wrote instead), or nothing when the plan is not the whole image (a row of the tree or
// a system file is missing from it).
std::optional<std::vector<Region>> regionsOf(const ExtractedImage& x)
{
    // A run without the system files (most runs) is told by one look at the plan, before the
    // name table is walked again or a region is built.
    if (std::none_of(x.plan.begin(), x.plan.end(),
                     [](const PlannedFile& p) { return p.row.system; }))
        return std::nullopt;
    const std::size_t treeRows = countRows(x.files, x.dirs);
    const std::vector<SystemFile> system = systemFiles(x.image, x.header);
    // The system rows by path; a path met twice (two overlays of one ID) is taken in order.
    std::map<std::string, std::deque<const SystemFile*>> systemByPath;
    for (const SystemFile& f : system)
        systemByPath["/" + std::string(kSystemFolder) + "/" + f.name].push_back(&f);

    const std::string rootPrefix = cleanName(x.internalName) + "/";
    std::vector<Region> regions;
    regions.reserve(x.plan.size() + 2);
    std::size_t tree = 0, sys = 0;
    for (const PlannedFile& p : x.plan) {
        if (p.relative.compare(0, rootPrefix.size(), rootPrefix) != 0)
            return std::nullopt;
        Region r;
        r.path = p.relative.substr(rootPrefix.size());
        if (!p.row.system) {
            ++tree;
            r.kind = RegionKind::File;
            r.id = p.row.fileId;
            r.offset = p.row.offset;
            r.size = p.row.size > 0 ? static_cast<std::uint64_t>(p.row.size) : 0;
        } else {
            auto it = systemByPath.find(p.row.path);
            if (it == systemByPath.end() || it->second.empty())
                return std::nullopt;
            const SystemFile& f = *it->second.front();
            it->second.pop_front();
            ++sys;
            if (!f.problem.empty())
                return std::nullopt;
            r.kind = regionKindOf(f.kind);
            r.id = f.kind == SystemFileKind::Overlay ? f.fileId : 0;
            r.offset = f.offset;
            r.size = f.size;
        }
        regions.push_back(std::move(r));
    }
    if (tree != treeRows || sys != system.size())
        return std::nullopt;
    return regions;
}

// The paths the run wrote under another name than planned; false when one lies outside the
// internal-name folder (no layout is written then).
bool applyRenames(std::vector<Region>& regions, const ExtractedImage& x)
{
    const std::string rootPrefix = cleanName(x.internalName) + "/";
    for (const auto& [planned, written] : x.renamed) {
        const auto k = static_cast<std::size_t>(planned - x.plan.data());
        if (k >= x.plan.size() || k >= regions.size() ||
            written.compare(0, rootPrefix.size(), rootPrefix) != 0)
            return false;
        regions[k].path = written.substr(rootPrefix.size());
    }
    return true;
}

// A table's range as far as the image holds it.
Region tableRegion(RegionKind kind, std::uint64_t offset, std::uint64_t size, std::uint64_t image)
{
    Region r;
    r.kind = kind;
    r.path = kind == RegionKind::Fnt ? kFntFile : kFatFile;
    r.offset = std::min(offset, image);
    r.size = std::min(size, image - r.offset);
    return r;
}

// A file as the run left it: its size and modification time.
struct WrittenStamp {
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;
};

// A file's size and modification time, looked up by its path below `dir`; none for anything but
// a regular file.
std::optional<WrittenStamp> stampAt(int dir, const std::string& path)
{
    struct stat st {};
    if (::fstatat(dir, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return WrittenStamp{static_cast<std::uint64_t>(st.st_size),
                        std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
}

// Each written file's size and modification time, as the run left them (a stamp taken while it
// went on, or looked up by path now); a file that is not the size its region says changed since
// (or is not the file written). Regions come one per planned row, in the plan's order; a file
// written decompressed after the run is always looked up.
void stampFiles(std::vector<Region>& regions, const std::string& tree,
                const std::vector<std::optional<WrittenStamp>>& taken)
{
    UniqueFd dir;
    for (std::size_t k = 0; k < regions.size(); ++k) {
        Region& r = regions[k];
        if (inLayoutFolder(r.kind))
            continue;
        std::optional<WrittenStamp> stamp;
        if (!r.decompressed && k < taken.size())
            stamp = taken[k];
        if (!stamp) {
            if (!dir.valid())
                dir = UniqueFd(::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!dir.valid())
                throw Error(cannotOpenMessage(tree, errno));
            stamp = stampAt(dir.get(), r.path);
        }
        const std::uint64_t written = r.decompressed ? r.decompressed->size : r.size;
        if (!stamp || stamp->size != written)
            throw Error("The file \"" + tree + "/" + r.path +
                        "\" changed while the layout was written");
        r.mtimeNs = stamp->mtimeNs;
    }
}

Sha1 sha1Of(const Stream& image, std::uint64_t offset, std::uint64_t size,
            const std::atomic<bool>& stop)
{
    Digest d(DigestKind::Sha1);
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunk)));
    // Bounded by the size: every pass reads at least one byte or throws.
    for (std::uint64_t done = 0; done < size;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, kChunk));
        checkStop(stop);
        const std::size_t got = image.pread(offset + done, std::span(buffer).first(want));
        if (got == 0)
            throw Error(kStreamReadError);
        d.update(std::span(buffer).first(got));
        done += got;
    }
    const DigestBytes v = d.value();
    Sha1 out{};
    std::copy_n(v.begin(), out.size(), out.begin());
    return out;
}

// Files whose range is shared with or overlaps another's carry their SHA-1: when one of them is
// edited, a build must tell which copy holds the new bytes, and a copy that kept its time (cp -p)
// would look unchanged. Identical ranges are hashed once.
void hashSharedRanges(std::vector<Region>& regions, const Stream& image,
                      const std::atomic<bool>& stop)
{
    std::vector<ByteRange> ranges;
    ranges.reserve(regions.size());
    for (const Region& r : regions)
        ranges.push_back({r.offset, inLayoutFolder(r.kind) ? 0 : r.size});
    const std::vector<bool> shared = sharedRanges(ranges);
    std::map<std::pair<std::uint64_t, std::uint64_t>, Sha1> done;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        if (!shared[i])
            continue;
        const auto key = std::make_pair(regions[i].offset, regions[i].size);
        auto it = done.find(key);
        if (it == done.end())
            it = done.emplace(key, sha1Of(image, key.first, key.second, stop)).first;
        regions[i].sha1 = it->second;
    }
}

// The holes between regions, read in as few reads as the bytes allow: one read reaches on over
// the next holes while the region bytes between them are few (a read costs more than copying a
// few KiB more) and the whole fits the buffer. Holes are visited in order, each front to back.
class HoleReader {
public:
    HoleReader(const Stream& image,
               const std::vector<std::pair<std::uint64_t, std::uint64_t>>& holes,
               const std::atomic<bool>& stop)
        : m_image(image), m_holes(holes), m_stop(stop), m_buffer(kChunk)
    {}

    // The bytes of hole k from pos on, as many as one buffer holds (at least one); throws
    // "Stream read error" when the image delivers none.
    std::span<const std::uint8_t> at(std::size_t k, std::uint64_t pos)
    {
        const std::uint64_t end = m_holes[k].second;
        if (pos < m_start || pos >= m_end)
            load(k, pos);
        const std::uint64_t stop = std::min(end, m_end);
        return std::span<const std::uint8_t>(m_buffer).subspan(
            static_cast<std::size_t>(pos - m_start), static_cast<std::size_t>(stop - pos));
    }

private:
    static constexpr std::uint64_t kJoinGap = 16 * 1024;

    void load(std::size_t k, std::uint64_t pos)
    {
        std::uint64_t end = std::min(m_holes[k].second, pos + kChunk);
        // Bounded by the holes' count; each hole joined lies wholly within the buffer.
        for (std::size_t j = k + 1; j < m_holes.size() && end == m_holes[j - 1].second; ++j) {
            if (m_holes[j].first - end > kJoinGap || m_holes[j].second - pos > kChunk)
                break;
            end = m_holes[j].second;
        }
        const std::size_t want = static_cast<std::size_t>(end - pos);
        checkStop(m_stop);
        const std::size_t got = m_image.pread(pos, std::span(m_buffer).first(want));
        if (got == 0)
            throw Error(kStreamReadError);
        m_start = pos;
        m_end = pos + got;
    }

    const Stream& m_image;
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& m_holes;
    const std::atomic<bool>& m_stop;
    std::vector<std::uint8_t> m_buffer;
    std::uint64_t m_start = 0, m_end = 0; // the image bytes the buffer holds
};

// The bytes no region holds, as runs: a run of one value of kMinFill or more, or one that fills
// the whole hole, is a fill; the bytes between fills are gaps.
std::vector<Run> runsOutside(const std::vector<Region>& regions, const Stream& image,
                             const std::atomic<bool>& stop)
{
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    spans.reserve(regions.size());
    for (const Region& r : regions)
        if (r.size)
            spans.emplace_back(r.offset, r.offset + r.size);
    std::sort(spans.begin(), spans.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> holes;
    holes.reserve(spans.size() + 1);
    std::uint64_t at = 0;
    for (const auto& [start, end] : spans) {
        if (start > at)
            holes.emplace_back(at, start);
        at = std::max(at, end);
    }
    if (at < image.size())
        holes.emplace_back(at, image.size());

    std::vector<Run> runs;
    runs.reserve(holes.size());
    HoleReader reader(image, holes, stop);
    for (std::size_t k = 0; k < holes.size(); ++k) {
        const std::uint64_t start = holes[k].first, end = holes[k].second;
        std::uint64_t dataStart = start; // the gap bytes not yet given to a run
        std::uint64_t sameStart = start; // where the current run of one value began
        int value = -1;
        const auto close = [&](std::uint64_t runEnd) {
            const bool wholeHole = sameStart == start && runEnd == end;
            if (value >= 0 && (runEnd - sameStart >= kMinFill || wholeHole)) {
                if (sameStart > dataStart)
                    runs.push_back(
                        {dataStart, sameStart - dataStart, std::nullopt, gapFile(dataStart)});
                runs.push_back(
                    {sameStart, runEnd - sameStart, static_cast<std::uint8_t>(value), {}});
                dataStart = runEnd;
            }
        };
        // Bounded by the hole's size: every pass takes at least one byte or throws.
        for (std::uint64_t pos = start; pos < end;) {
            const std::span<const std::uint8_t> bytes = reader.at(k, pos);
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                if (bytes[i] != value) {
                    close(pos + i);
                    value = bytes[i];
                    sameStart = pos + i;
                }
            }
            pos += bytes.size();
        }
        close(end);
        if (dataStart < end)
            runs.push_back({dataStart, end - dataStart, std::nullopt, gapFile(dataStart)});
    }
    return runs;
}

// One file of the layout folder: the image's bytes of [offset, offset + size), or `bytes`.
void writeFileIn(int dir, const std::string& name, const std::string& shown, const Stream& image,
                 std::uint64_t offset, std::uint64_t size)
{
    UniqueFd fd(::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd.valid())
        throw Error(cannotCreateMessage(shown, errno));
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunk)));
    for (std::uint64_t done = 0; done < size;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, kChunk));
        const std::size_t got = image.pread(offset + done, std::span(buffer).first(want));
        if (got == 0)
            throw Error(kStreamReadError);
        writeAllOrThrow(fd.get(), std::span(buffer).first(got), shown);
        done += got;
    }
    if (::fsync(fd.get()) != 0 && errno != EINVAL)
        throw Error(cannotWriteMessage(shown, errno));
}

// layout.json, written as it is made.
void writeLayoutFile(int dir, const std::string& name, const std::string& shown,
                     const Layout& layout)
{
    UniqueFd fd(::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd.valid())
        throw Error(cannotCreateMessage(shown, errno));
    encodeLayout(layout, [&](std::string_view piece) {
        writeAllOrThrow(
            fd.get(), std::span(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size()),
            shown);
    });
    if (::fsync(fd.get()) != 0 && errno != EINVAL)
        throw Error(cannotWriteMessage(shown, errno));
}

// The regions of the files written decompressed (regionsOf gives one region per planned row, in
// the plan's order).
void markDecompressed(std::vector<Region>& regions, const std::vector<PlannedFile>& plan,
                      const std::vector<DecompressedFile>& decompressed)
{
    std::unordered_map<const PlannedFile*, const DecompressedFile*> byFile;
    for (const DecompressedFile& d : decompressed)
        byFile.emplace(d.file, &d);
    for (std::size_t k = 0; k < plan.size() && !byFile.empty(); ++k)
        if (const auto it = byFile.find(&plan[k]); it != byFile.end())
            regions[k].decompressed =
                Decompressed{it->second->codec, it->second->size, it->second->sha1};
}

// The image's bytes of each file written decompressed, in original/ at the file's tree path.
void writeOriginals(int dir, const std::string& shown, const std::vector<Region>& regions,
                    const Stream& image)
{
    std::unordered_set<std::string> made;
    for (const Region& r : regions) {
        if (!r.decompressed)
            continue;
        const std::string file = originalFile(r.path);
        // The folders on the way, each once: the tree's own folders, at most 4,095.
        for (std::size_t slash = file.find('/'); slash != std::string::npos;
             slash = file.find('/', slash + 1)) {
            const std::string folder = file.substr(0, slash);
            if (made.insert(folder).second && ::mkdirat(dir, folder.c_str(), 0777) != 0)
                throw Error(cannotCreateMessage(shown + "/" + folder, errno));
        }
        writeFileIn(dir, file, shown + "/" + file, image, r.offset, r.size);
    }
}

// The hidden folder the layout is written in; removed unless it was renamed into place.
struct HiddenFolder {
    std::string path;
    ~HiddenFolder()
    {
        if (!path.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    }
};

} // namespace

RegionKind regionKindOf(SystemFileKind kind)
{
    switch (kind) {
    case SystemFileKind::Header:
        return RegionKind::Header;
    case SystemFileKind::Arm9:
        return RegionKind::Arm9;
    case SystemFileKind::Arm7:
        return RegionKind::Arm7;
    case SystemFileKind::Arm9i:
        return RegionKind::Arm9i;
    case SystemFileKind::Arm7i:
        return RegionKind::Arm7i;
    case SystemFileKind::Arm9OverlayTable:
        return RegionKind::Arm9OverlayTable;
    case SystemFileKind::Arm7OverlayTable:
        return RegionKind::Arm7OverlayTable;
    case SystemFileKind::Overlay:
        return RegionKind::Overlay;
    case SystemFileKind::Banner:
        break;
    }
    return RegionKind::Banner;
}

namespace {

// What the run does not change: every region as planned (the tables last), the shared ranges'
// SHA-1s and the bytes outside the regions. No regions: the plan is not the whole image.
struct Prepared {
    std::optional<std::vector<Region>> regions;
    std::vector<Run> runs;
    bool tooLarge = false;
    // The files the run finished, looked up by planned path as it went on (by plan index).
    std::vector<std::optional<WrittenStamp>> stamps;
};

Prepared prepare(const ExtractedImage& x, const std::atomic<bool>& stop)
{
    Prepared p;
    p.regions = regionsOf(x);
    const std::uint64_t imageSize = x.image.size();
    p.tooLarge = imageSize > kMaxImageSize;
    if (!p.regions || p.tooLarge)
        return p;
    std::vector<Region>& regions = *p.regions;
    hashSharedRanges(regions, x.image, stop);
    const TNDSHeader& h = x.header.ds;
    regions.push_back(tableRegion(RegionKind::Fnt, h.FntOffset, h.FntSize, imageSize));
    regions.push_back(tableRegion(RegionKind::Fat, h.FatOffset, h.FatSize, imageSize));
    p.runs = runsOutside(regions, x.image, stop);
    return p;
}

// The tree folder the plan writes into: DIR/<internal name>.
std::string treeOf(const ExtractedImage& x)
{
    std::string base = x.destinationBase;
    if (base.empty() || base.back() != '/')
        base += '/';
    return base + cleanName(x.internalName);
}

// Looks up each file the run has finished as it goes on: every row before `reached` is
// finished (written, or failed, which leaves no layout to write). Waits only while the run
// goes on: its end sets `reached` to the plan's size, and a dropped layout sets `stop`.
void stampAhead(const ExtractedImage& x, const std::atomic<bool>& stop,
                const std::atomic<std::size_t>& reached, Prepared& p)
{
    if (!p.regions || p.tooLarge)
        return;
    const std::vector<Region>& regions = *p.regions;
    const std::size_t rows = std::min(x.plan.size(), regions.size());
    p.stamps.resize(rows);
    const std::string tree = treeOf(x);
    UniqueFd dir;
    for (std::size_t k = 0; k < rows;) {
        checkStop(stop);
        const std::size_t upTo = std::min(reached.load(std::memory_order_acquire), rows);
        if (k >= upTo) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (!dir.valid())
            dir = UniqueFd(::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir.valid())
            return; // the rest are looked up when the layout is written
        for (; k < upTo; ++k)
            if (!inLayoutFolder(regions[k].kind))
                p.stamps[k] = stampAt(dir.get(), regions[k].path);
    }
}

// The layout folder from what was prepared and what the run did (names, stamps, files written
// decompressed).
bool writePrepared(const ExtractedImage& x, Prepared prepared,
                   const std::vector<DecompressedFile>& decompressed)
{
    if (!prepared.regions || !applyRenames(*prepared.regions, x))
        return false;
    // A file written under another name than planned: what its planned path showed is not it.
    for (const auto& renamed : x.renamed) {
        const auto k = static_cast<std::size_t>(renamed.first - x.plan.data());
        if (k < prepared.stamps.size())
            prepared.stamps[k].reset();
    }
    if (prepared.tooLarge)
        throw Error("The image is larger than 4 GiB: no layout is written for it");
    Layout layout;
    layout.imageSize = x.image.size();
    layout.regions = std::move(*prepared.regions);
    layout.runs = std::move(prepared.runs);
    markDecompressed(layout.regions, x.plan, decompressed);
    std::string base = x.destinationBase;
    if (base.empty() || base.back() != '/')
        base += '/';
    const std::string tree = treeOf(x);
    const std::string final = tree + kLayoutSuffix;
    stampFiles(layout.regions, tree, prepared.stamps);

    HiddenFolder hidden{base + hiddenTemporaryName()};
    if (::mkdir(hidden.path.c_str(), 0777) != 0) {
        const int err = errno;
        hidden.path.clear();
        throw Error(cannotCreateMessage(final, err));
    }
    const UniqueFd dir(
        ::open(hidden.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid() || ::mkdirat(dir.get(), kGapFolder, 0777) != 0)
        throw Error(cannotCreateMessage(final, errno));
    for (const Region& r : layout.regions)
        if (inLayoutFolder(r.kind))
            writeFileIn(dir.get(), r.path, final + "/" + r.path, x.image, r.offset, r.size);
    for (const Run& r : layout.runs)
        if (!r.fill)
            writeFileIn(dir.get(), r.file, final + "/" + r.file, x.image, r.offset, r.size);
    writeOriginals(dir.get(), final, layout.regions, x.image);
    writeLayoutFile(dir.get(), kLayoutFile, final + "/" + kLayoutFile, layout);
    if (::fsync(dir.get()) != 0 && errno != EINVAL)
        throw Error(cannotWriteMessage(final, errno));

    // Into place: an earlier layout is exchanged with the new one in one step and then removed.
    if (::renameat2(AT_FDCWD, hidden.path.c_str(), AT_FDCWD, final.c_str(), RENAME_NOREPLACE) !=
        0) {
        if (errno != EEXIST && errno != ENOTEMPTY)
            throw Error(cannotCreateMessage(final, errno));
        if (::renameat2(AT_FDCWD, hidden.path.c_str(), AT_FDCWD, final.c_str(), RENAME_EXCHANGE) !=
            0)
            throw Error(cannotCreateMessage(final, errno));
        // The hidden name now holds the earlier layout; the guard removes it.
        return true;
    }
    hidden.path.clear();
    return true;
}

} // namespace

struct LayoutInAdvance::State {
    explicit State(const ExtractedImage& extracted) : x(extracted) {}
    ExtractedImage x;
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> reached{0}; // the rows before it are finished
    std::future<Prepared> ahead;         // the reading on its own thread, when there is one
};

LayoutInAdvance::LayoutInAdvance(const ExtractedImage& extracted)
    : m_state(std::make_unique<State>(extracted))
{
    State& s = *m_state;
    // A run without the system files (most runs) writes no layout: told by one look at the
    // plan. A single processor makes it all after the run.
    const bool system = std::any_of(s.x.plan.begin(), s.x.plan.end(),
                                    [](const PlannedFile& p) { return p.row.system; });
    if (system && std::thread::hardware_concurrency() != 1)
        s.ahead = std::async(std::launch::async, [&s] {
            Prepared p = prepare(s.x, s.stop);
            stampAhead(s.x, s.stop, s.reached, p);
            return p;
        });
}

LayoutInAdvance::~LayoutInAdvance()
{
    if (m_state->ahead.valid()) {
        m_state->stop = true;
        m_state->ahead.wait();
    }
}

void LayoutInAdvance::progress(const ExtractProgress& p)
{
    const auto& plan = m_state->x.plan;
    const std::size_t reached =
        p.current ? static_cast<std::size_t>(p.current - plan.data()) : plan.size();
    m_state->reached.store(std::min(reached, plan.size()), std::memory_order_release);
}

bool LayoutInAdvance::write(const std::vector<DecompressedFile>& decompressed)
{
    State& s = *m_state;
    s.reached.store(s.x.plan.size(), std::memory_order_release);
    // get() hands over the reading's error, if it met one.
    Prepared prepared = s.ahead.valid() ? s.ahead.get() : prepare(s.x, s.stop);
    return writePrepared(s.x, std::move(prepared), decompressed);
}

bool writeLayout(const ExtractedImage& x, const std::vector<DecompressedFile>& decompressed)
{
    const std::atomic<bool> never{false};
    return writePrepared(x, prepare(x, never), decompressed);
}

Sha1 sha1OfFile(int fd, const std::string& path)
{
    Digest d(DigestKind::Sha1);
    std::vector<std::uint8_t> buffer(kChunk);
    DescriptorStream file(fd, ~std::uint64_t{0}, "file \"" + path + "\"");
    // Bounded by the file: every pass reads at least one byte or ends.
    for (std::uint64_t at = 0;;) {
        const std::size_t got = file.pread(at, buffer);
        if (got == 0)
            break;
        d.update(std::span(buffer).first(got));
        at += got;
    }
    const DigestBytes v = d.value();
    Sha1 out{};
    std::copy_n(v.begin(), out.size(), out.begin());
    return out;
}

} // namespace cartscope::core::rebuild
