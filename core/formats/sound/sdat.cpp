// SDAT sound archives.
//
// Layout (little-endian): "SDAT", byte-order mark, version, archive size (+8), header size
// (+0x0C), block count (+0x0E), then offset/size pairs, relative to the archive, of the SYMB
// (+0x10), INFO (+0x18), FAT (+0x20) and FILE (+0x28) blocks. SYMB and INFO each begin with
// eight record offsets (+8, relative to the block): sequences, sequence archives, banks, wave
// archives, players, groups, stream players, streams. A record is a count and that many offsets
// (relative to the block) of names (SYMB, NUL-terminated; the sequence archive record pairs each
// name with a record of its members' names) or of information entries (INFO; 0 for none). FAT
// holds a count (+8) and 16-byte entries (+0x0C): offset relative to the archive, size.
//
// Hostile archives: every block is cut at the archive's end and read once, at most
// kMaxTableBlock bytes; every record offset, count and name is bounded by its block (a count is
// cut to the offsets the block holds); an entry whose file ID has no FAT entry, or whose range
// leaves the archive, carries a problem and is never read.
#include "core/formats/sound/sdat.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/base/names.h"
#include "core/base/paths.h"

namespace cartscope::core {

namespace {

constexpr std::uint64_t kHeaderSize = 0x30;
constexpr std::uint64_t kMaxTableBlock = std::uint64_t{16} << 20;
constexpr std::size_t kFatEntrySize = 16;
constexpr std::size_t kFatEntriesAt = 12;
// Member tables of SSAR and SWAR files: count at 0x1C (SSAR) / 0x38 (SWAR).
constexpr std::uint64_t kSsarCountAt = 0x1C;
constexpr std::uint64_t kSsarRecordsAt = 0x20;
constexpr std::uint64_t kSsarRecordSize = 12;
constexpr std::uint64_t kSwarCountAt = 0x38;
constexpr std::uint64_t kSwarOffsetsAt = 0x3C;
// At most this many members are listed per archive (a count word is 32 bits; the table holds
// the rest).
constexpr std::uint32_t kMaxMembers = 65536;

enum Record { kSeq = 0, kSeqArc = 1, kBank = 2, kWaveArc = 3, kStrm = 7 };

std::string notSdat(const std::string& label, const std::string& why)
{
    return "\"" + label + "\" is not an SDAT sound archive" + (why.empty() ? "" : ": " + why);
}

// A block read whole, and checked 32- and 16-bit reads inside it.
struct Table {
    std::vector<std::uint8_t> bytes;
    bool has(std::uint64_t at, std::uint64_t n) const
    {
        return at <= bytes.size() && n <= bytes.size() - at;
    }
    std::uint32_t u32(std::uint64_t at) const { return has(at, 4) ? le32(bytes, at) : 0; }
    std::uint16_t u16(std::uint64_t at) const { return has(at, 2) ? le16(bytes, at) : 0; }
    // A NUL-terminated name, ending at the block's end at the latest.
    std::string name(std::uint64_t at) const
    {
        if (at == 0 || at >= bytes.size())
            return {};
        const auto* begin = bytes.data() + at;
        const auto* end = std::find(begin, bytes.data() + bytes.size(), std::uint8_t{0});
        return std::string(begin, end);
    }
    // The offsets of record `which` (count at its offset, then the offsets), cut to the block.
    std::vector<std::uint32_t> record(int which, std::uint64_t stride, const char* block,
                                      std::vector<std::string>& notes) const
    {
        const std::uint64_t at = u32(8 + 4 * static_cast<std::uint64_t>(which));
        if (at == 0 || !has(at, 4))
            return {};
        const std::uint64_t claimed = u32(at);
        const std::uint64_t room = (bytes.size() - at - 4) / stride;
        const std::uint64_t count = std::min(claimed, room);
        if (count < claimed)
            notes.push_back(std::string("the ") + block + " block's record " +
                            std::to_string(which) + " claims " + std::to_string(claimed) +
                            " entries but holds " + std::to_string(room));
        std::vector<std::uint32_t> out;
        out.reserve(static_cast<std::size_t>(count));
        for (std::uint64_t i = 0; i < count; ++i)
            out.push_back(u32(at + 4 + i * stride));
        return out;
    }
};

Table readBlock(const Stream& archive, std::uint32_t offset, std::uint32_t size, const char* magic,
                std::vector<std::string>& notes)
{
    Table t;
    if (offset == 0 || size == 0)
        return t;
    const std::uint64_t end = archive.size();
    if (offset >= end) {
        notes.push_back(std::string("the ") + magic + " block lies past the end of the archive");
        return t;
    }
    std::uint64_t length = size;
    if (length > end - offset) {
        notes.push_back(std::string("the ") + magic + " block runs past the end of the archive");
        length = end - offset;
    }
    if (length > kMaxTableBlock) {
        notes.push_back(std::string("the ") + magic + " block is cut to 16 MiB");
        length = kMaxTableBlock;
    }
    t.bytes.resize(static_cast<std::size_t>(length));
    t.bytes.resize(archive.pread(offset, t.bytes));
    if (t.bytes.size() < 8 || std::memcmp(t.bytes.data(), magic, 4) != 0) {
        notes.push_back(std::string("the ") + magic + " block does not begin with its name");
        t.bytes.clear();
    }
    return t;
}

struct Names {
    std::vector<std::string> of[8];
    std::vector<std::vector<std::string>> archiveMembers; // per sequence archive
};

Names readNames(const Table& symb, std::vector<std::string>& notes)
{
    Names names;
    if (symb.bytes.empty())
        return names;
    for (int which : {kSeq, kBank, kWaveArc, kStrm})
        for (std::uint32_t at : symb.record(which, 4, "SYMB", notes))
            names.of[which].push_back(symb.name(at));
    // Sequence archives: a name offset and a member record offset per entry.
    const std::vector<std::uint32_t> pairs = symb.record(kSeqArc, 8, "SYMB", notes);
    const std::uint64_t recordAt = symb.u32(8 + 4 * kSeqArc);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        names.of[kSeqArc].push_back(symb.name(pairs[i]));
        std::vector<std::string> members;
        const std::uint64_t sub = symb.u32(recordAt + 4 + i * 8 + 4);
        if (sub != 0 && symb.has(sub, 4)) {
            const std::uint64_t claimed = symb.u32(sub);
            const std::uint64_t count = std::min(claimed, (symb.bytes.size() - sub - 4) / 4);
            for (std::uint64_t k = 0; k < count; ++k)
                members.push_back(symb.name(symb.u32(sub + 4 + 4 * k)));
        }
        names.archiveMembers.push_back(std::move(members));
    }
    return names;
}

// File names per folder: cleaned, numbered when missing, " (2)" for a repeat.
class Namer {
public:
    std::string take(const std::string& folder, const std::string& name, const char* prefix,
                     std::uint32_t index, const char* extension)
    {
        std::string base;
        if (name.empty()) {
            char numbered[32];
            std::snprintf(numbered, sizeof numbered, "%s%04u", prefix, index);
            base = numbered;
        } else {
            base = cleanName(name);
        }
        std::set<std::string>& used = m_used[folder];
        std::string candidate = base + extension;
        // Bounded: each attempt is a different name, and a folder holds at most the record's
        // count of names.
        for (int n = 2; !used.insert(candidate).second; ++n)
            candidate = base + " (" + std::to_string(n) + ")" + extension;
        return folder + "/" + candidate;
    }

private:
    std::map<std::string, std::set<std::string>> m_used;
};

struct Fat {
    Table table;
    std::uint64_t count = 0;
};

// Places entry `e` on FAT entry `fileId`, checking its range against the archive.
void place(SoundEntry& e, const Fat& fat, std::uint32_t fileId, std::uint64_t archiveOffset,
           std::uint64_t archiveSize)
{
    if (fileId >= fat.count) {
        e.problem = "its file ID " + std::to_string(fileId) + " has no FAT entry";
        return;
    }
    const std::uint64_t at = kFatEntriesAt + std::uint64_t{fileId} * kFatEntrySize;
    const std::uint64_t offset = fat.table.u32(at);
    e.size = fat.table.u32(at + 4);
    e.offset = archiveOffset + offset;
    if (offset > archiveSize || e.size > archiveSize - offset)
        e.problem = "its range runs past the end of the archive";
}

// The member table of a sequence or wave archive: the start of each member, relative to the
// file (waves) or to its sequence data (sequences), and where the members' bytes end.
struct Members {
    std::vector<std::uint64_t> starts;
    std::uint64_t dataAt = 0; // sequences: the data offset, relative to the file
    std::string problem;
};

Members readMembers(const Stream& image, const SoundEntry& archive, bool waves)
{
    Members m;
    const SubStream file(image, archive.offset, archive.size);
    const std::uint64_t countAt = waves ? kSwarCountAt : kSsarCountAt;
    const std::uint64_t tableAt = waves ? kSwarOffsetsAt : kSsarRecordsAt;
    const std::uint64_t stride = waves ? 4 : kSsarRecordSize;
    std::array<std::uint8_t, 4> word{};
    if (file.pread(countAt, word) != 4) {
        m.problem = "its member table is cut short";
        return m;
    }
    if (!waves) {
        std::array<std::uint8_t, 4> data{};
        file.pread(0x18, data); // 0x18 sequence data offset
        m.dataAt = le32(data);
    }
    const std::uint64_t claimed = le32(word);
    const std::uint64_t room = file.size() > tableAt ? (file.size() - tableAt) / stride : 0;
    const std::uint64_t count = std::min({claimed, room, std::uint64_t{kMaxMembers}});
    if (count < claimed)
        m.problem = "its member table claims " + std::to_string(claimed) + " members but holds " +
                    std::to_string(count);
    std::vector<std::uint8_t> table(static_cast<std::size_t>(count * stride));
    if (!table.empty())
        file.pread(tableAt, table);
    for (std::uint64_t i = 0; i < count; ++i)
        m.starts.push_back(le32(table, static_cast<std::size_t>(i * stride)));
    return m;
}

// Member i ends where the next one (in file order) begins, else at `end`.
std::uint64_t memberEnd(const std::vector<std::uint64_t>& starts, std::uint64_t start,
                        std::uint64_t end)
{
    std::uint64_t best = end;
    for (std::uint64_t s : starts)
        if (s > start && s < best)
            best = s;
    return best;
}

void addMembers(const Stream& image, Sdat& sdat, std::size_t parent,
                const std::vector<std::string>& memberNames)
{
    const SoundEntry archive = sdat.entries[parent];
    if (!archive.problem.empty())
        return;
    const bool waves = archive.kind == SoundKind::WaveArchive;
    const Members m = readMembers(image, archive, waves);
    if (!m.problem.empty())
        sdat.notes.push_back(archive.path + ": " + m.problem);
    Namer namer;
    for (std::size_t i = 0; i < m.starts.size(); ++i) {
        SoundEntry e;
        e.kind = waves ? SoundKind::Wave : SoundKind::ArchivedSequence;
        e.index = static_cast<std::uint32_t>(i);
        e.parent = parent;
        const std::string name = i < memberNames.size() ? memberNames[i] : std::string();
        if (waves) {
            char numbered[32];
            std::snprintf(numbered, sizeof numbered, "/%04zu.swav", i);
            e.path = archive.path + numbered;
        } else {
            e.path = namer.take(archive.path, name, "SEQ_", e.index, ".sseq");
        }
        // Sequence starts are relative to the sequence data; wave starts to the file.
        const std::uint64_t base = waves ? 0 : m.dataAt;
        const std::uint64_t start = m.starts[i];
        if (base > archive.size || start > archive.size - base) {
            e.problem = "it starts past the end of its archive";
        } else {
            e.start = start;
            e.offset = archive.offset + base + start;
            e.size = memberEnd(m.starts, start, archive.size - base) - start;
        }
        sdat.entries.push_back(std::move(e));
    }
}

// The FAT block's entries, the count cut to what the block holds.
Fat readFat(const Stream& archive, std::span<const std::uint8_t> header,
            std::vector<std::string>& notes)
{
    Fat fat{readBlock(archive, le32(header, 0x20), le32(header, 0x24), "FAT ", notes), 0};
    if (fat.table.bytes.empty())
        return fat;
    const std::uint64_t claimed = fat.table.u32(8);
    const std::uint64_t room = fat.table.bytes.size() > kFatEntriesAt
                                   ? (fat.table.bytes.size() - kFatEntriesAt) / kFatEntrySize
                                   : 0;
    fat.count = std::min(claimed, room);
    if (fat.count < claimed)
        notes.push_back("the FAT block claims " + std::to_string(claimed) + " entries but holds " +
                        std::to_string(room));
    return fat;
}

struct Kind {
    Record record;
    SoundKind kind;
    const char* folder;
    const char* prefix;
    const char* extension;
    std::uint64_t entrySize;
};
constexpr Kind kKinds[] = {
    {kSeq, SoundKind::Sequence, "/sequences", "SEQ_", ".sseq", 12},
    {kSeqArc, SoundKind::SequenceArchive, "/sequenceArchives", "SEQARC_", ".ssar", 4},
    {kBank, SoundKind::Bank, "/banks", "BANK_", ".sbnk", 12},
    {kWaveArc, SoundKind::WaveArchive, "/waveArchives", "WAVEARC_", ".swar", 4},
    {kStrm, SoundKind::Stream, "/streams", "STRM_", ".strm", 12},
};

// The INFO entries of every kind as top-level entries; returns the archives among them, each
// with its index in the SSAR names.
std::vector<std::pair<std::size_t, std::size_t>> addEntries(Sdat& sdat, const Table& info,
                                                            const Fat& fat, const Names& names)
{
    Namer namer;
    std::vector<std::pair<std::size_t, std::size_t>> archives; // entry, SSAR name index
    for (const Kind& k : kKinds) {
        const std::vector<std::uint32_t> at = info.record(k.record, 4, "INFO", sdat.notes);
        const std::vector<std::string>& kindNames = names.of[k.record];
        for (std::size_t i = 0; i < at.size(); ++i) {
            if (at[i] == 0)
                continue; // an empty slot
            SoundEntry e;
            e.kind = k.kind;
            e.index = static_cast<std::uint32_t>(i);
            e.path = namer.take(k.folder, i < kindNames.size() ? kindNames[i] : std::string(),
                                k.prefix, e.index, k.extension);
            if (!info.has(at[i], k.entrySize)) {
                e.problem = "its INFO entry runs past the INFO block";
            } else {
                place(e, fat, info.u16(at[i]), sdat.offset, sdat.size); // +0 file ID
                if (k.kind == SoundKind::Sequence)
                    e.bank = info.u16(at[i] + 4); // +4 bank
                if (k.kind == SoundKind::Bank)
                    for (std::size_t w = 0; w < 4; ++w)
                        e.waveArchives[w] = info.u16(at[i] + 4 + 2 * w); // +4 wave archives
            }
            sdat.entries.push_back(std::move(e));
            if (k.kind == SoundKind::SequenceArchive || k.kind == SoundKind::WaveArchive)
                archives.emplace_back(sdat.entries.size() - 1, i);
        }
    }
    return archives;
}

} // namespace

Sdat readSdat(const Stream& image, std::uint64_t offset, std::uint64_t size,
              const std::string& label)
{
    const SubStream archive(image, offset, size);
    Sdat sdat;
    sdat.offset = offset;
    sdat.size = archive.size();
    std::array<std::uint8_t, kHeaderSize> header{};
    if (archive.pread(0, header) != header.size() || std::memcmp(header.data(), "SDAT", 4) != 0)
        throw Error(notSdat(label, ""));
    auto& notes = sdat.notes;
    const Table symb = readBlock(archive, le32(header, 0x10), le32(header, 0x14), "SYMB", notes);
    const Table info = readBlock(archive, le32(header, 0x18), le32(header, 0x1C), "INFO", notes);
    const Fat fat = readFat(archive, header, notes);
    if (info.bytes.empty())
        throw Error(notSdat(label, "it has no INFO block"));
    if (fat.table.bytes.empty())
        throw Error(notSdat(label, "it has no FAT block"));
    const Names names = readNames(symb, notes);
    const auto archives = addEntries(sdat, info, fat, names);
    // Members follow the top-level entries; each archive's members are kept together.
    for (const auto& [entry, nameIndex] : archives) {
        const bool seq = sdat.entries[entry].kind == SoundKind::SequenceArchive;
        addMembers(image, sdat, entry,
                   seq && nameIndex < names.archiveMembers.size() ? names.archiveMembers[nameIndex]
                                                                  : std::vector<std::string>{});
    }
    return sdat;
}

Sdat openSdat(const Stream& image, const std::vector<FileRow>& treeRows, const std::string& path,
              std::string* rest)
{
    const PlacedFile f = placeFile(image, treeRows, path);
    Sdat sdat = readSdat(f.stream(image), f.offset, f.size, f.path);
    sdat.path = f.path;
    sdat.decompressed = f.decompressed;
    if (rest)
        *rest = path.substr(f.path.size());
    return sdat;
}

const SoundEntry& findSoundEntry(const Sdat& sdat, const std::string& rest, const std::string& full)
{
    for (const SoundEntry& e : sdat.entries)
        if (e.path == rest)
            return e;
    throw Error("No file \"" + full + "\" in the image");
}

std::vector<FileRow> sdatRows(const Sdat& sdat)
{
    std::vector<FileRow> rows;
    rows.reserve(sdat.entries.size());
    for (const SoundEntry& e : sdat.entries) {
        FileRow row;
        row.path = sdat.path + e.path;
        row.offset = static_cast<std::uint32_t>(e.offset);
        row.size = static_cast<std::int64_t>(e.size);
        row.problem = e.problem;
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<FileRow> sdatExtractRows(const Sdat& sdat)
{
    std::vector<FileRow> rows;
    for (const SoundEntry& e : sdat.entries) {
        if (e.kind == SoundKind::ArchivedSequence || e.kind == SoundKind::Wave)
            continue;
        FileRow row;
        row.path = e.path;
        row.offset = static_cast<std::uint32_t>(e.offset);
        row.size = static_cast<std::int64_t>(e.size);
        row.problem = e.problem;
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<std::uint8_t> readSoundEntry(const Stream& image, const Sdat& sdat,
                                         const SoundEntry& entry, std::uint64_t limit)
{
    const std::string label = sdat.path + entry.path;
    if (!entry.problem.empty())
        throw Error("Cannot open \"" + label + "\": " + entry.problem);
    std::uint64_t from = entry.offset;
    std::uint64_t size = entry.size;
    if (entry.kind == SoundKind::ArchivedSequence) {
        // The whole sequence data: calls and jumps may lead anywhere in it.
        const SoundEntry& parent = sdat.entries.at(entry.parent);
        from = entry.offset - entry.start;
        size = parent.offset + parent.size - from;
    }
    if (size > limit)
        throw Error("\"" + label + "\" is too large to open (" + std::to_string(size) +
                    " bytes; at most " + std::to_string(limit >> 20) + " MiB)");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    sdat.stream(image).readExact(from, bytes);
    return bytes;
}

WaveSet decodeWaveArchive(const Stream& image, const Sdat& sdat, std::size_t at,
                          std::uint64_t limit, std::vector<std::string>* failures)
{
    WaveSet waves;
    for (const SoundEntry& e : sdat.entries) {
        if (e.kind != SoundKind::Wave || e.parent != at)
            continue;
        try {
            const auto bytes = readSoundEntry(image, sdat, e, limit);
            waves.push_back(decodeWave(bytes, sdat.path + e.path));
        } catch (const Error& error) {
            waves.push_back(std::nullopt);
            if (failures)
                failures->push_back(error.what());
        }
    }
    return waves;
}

std::vector<WaveSet> bankWaves(const Stream& image, const Sdat& sdat, const SoundEntry& bank,
                               std::uint64_t limit, std::vector<std::string>* failures)
{
    std::vector<WaveSet> archives(4);
    for (std::size_t slot = 0; slot < 4; ++slot)
        for (std::size_t i = 0; i < sdat.entries.size(); ++i) {
            const SoundEntry& e = sdat.entries[i];
            if (e.kind == SoundKind::WaveArchive && e.index == bank.waveArchives[slot])
                archives[slot] = decodeWaveArchive(image, sdat, i, limit, failures);
        }
    return archives;
}

} // namespace cartscope::core
