#include "archive/organise_plan.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/member_stream.h"
#include "archive/staged_copy.h"
#include "archive/torrentzip.h"
#include "archive/zip_directory.h"
#include "core/base/error.h"
#include "core/base/names.h"
#include "core/extract/path_pieces.h"
#include "core/io/stream.h"
#include "core/io/whole_file.h"

namespace cartscope::archive {

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 20;

char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

std::string folded(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), lowerAscii);
    return out;
}

bool reservedDeviceName(std::string_view name)
{
    // Windows refuses these with any extension, in any letter case.
    const std::string base = folded(name.substr(0, name.find('.')));
    static constexpr std::array<std::string_view, 4> kPlain = {"con", "prn", "aux", "nul"};
    if (std::find(kPlain.begin(), kPlain.end(), base) != kPlain.end())
        return true;
    return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) &&
           base[3] >= '1' && base[3] <= '9';
}

// The longest prefix of `s` of at most `limit` bytes that does not split a UTF-8 sequence.
std::string_view cutUtf8(std::string_view s, std::size_t limit)
{
    if (s.size() <= limit)
        return s;
    std::size_t end = limit;
    // Bounded: a UTF-8 sequence has at most 3 continuation bytes.
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80)
        --end;
    return s.substr(0, end);
}

// What the destination must hold for a rom: its bytes as dumped, or padded as `verify` matched
// them.
struct Expected {
    std::uint64_t size = 0;
    std::uint64_t sourceSize = 0;
    std::optional<std::uint8_t> padByte;
    std::optional<std::uint32_t> crc;
    std::vector<std::pair<core::DigestKind, core::DigestBytes>> digests;
};

Expected expectedFor(const Dump& dump, const core::DatSet& dats, bool padded)
{
    const core::DatMatch& match = dump.result.matches.front();
    Expected e;
    e.sourceSize = dump.result.size;
    if (!padded || !match.padding) {
        e.size = dump.result.size;
        e.crc = dump.result.hashes.crc32;
        for (const core::DigestKind kind : core::kDigestKinds)
            if (const auto& d = dump.result.hashes.digest(kind))
                e.digests.emplace_back(kind, *d);
        return e;
    }
    const core::DatRom rom = dats.roms()[match.rom];
    e.size = match.paddedSize;
    e.padByte = match.padding;
    e.crc = rom.crc32;
    for (const core::DigestKind kind : core::kDigestKinds)
        if (rom.has(kind)) {
            const auto d = rom.digest(kind);
            e.digests.emplace_back(kind, core::DigestBytes(d.begin(), d.end()));
        }
    return e;
}

bool hashesAgree(const core::VerifyResult& got, const Expected& e)
{
    if (got.size != e.size || (e.crc && got.hashes.crc32 != *e.crc))
        return false;
    return std::all_of(e.digests.begin(), e.digests.end(), [&](const auto& d) {
        const auto& have = got.hashes.digest(d.first);
        return have && *have == d.second;
    });
}

const core::DatSet& noDats()
{
    static const core::DatSet kNone;
    return kNone;
}

// A file's whole bytes hashed; nullopt when it cannot be read.
std::optional<core::VerifyResult> hashFile(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    const core::DescriptorStream stream(fd, static_cast<std::uint64_t>(st.st_size));
    try {
        return core::verifyStream(stream, noDats(), true);
    } catch (const core::Error&) {
        return std::nullopt;
    }
}

// Forwards a member's blocks to a byte sink.
class ForwardSink final : public core::ReadSink {
public:
    explicit ForwardSink(const ByteSink& take) : m_take(take) {}
    void consume(std::span<const std::uint8_t> block, std::uint64_t) override { m_take(block); }

private:
    const ByteSink& m_take;
};

// The dump's bytes followed by the padding the expected bytes have.
ByteSource sourceOf(const Dump& dump, const Expected& e, const core::Checkpoint& checkpoint)
{
    return [&dump, e, checkpoint](const ByteSink& take) {
        std::uint64_t given = 0;
        const ByteSink counted = [&](std::span<const std::uint8_t> block) {
            if (checkpoint)
                checkpoint();
            given += block.size();
            take(block);
        };
        const core::UniqueFd fd = dump.open();
        if (dump.member) {
            ForwardSink sink(counted);
            core::ReadSink* const sinks[] = {&sink};
            std::string failure;
            MemberEvents events;
            events.onBegin = [&](const StreamedMember& m) {
                return m.index == dump.memberIndex ? std::span<core::ReadSink* const>(sinks)
                                                   : std::span<core::ReadSink* const>();
            };
            events.onEnd = [&](const StreamedMember& m, const std::string& error) {
                if (m.index == dump.memberIndex && !error.empty())
                    failure = error;
            };
            const std::string wanted = *dump.member;
            streamMembers(
                fd.get(), dump.path, [&](const std::string& name) { return name == wanted; },
                events);
            if (!failure.empty())
                throw core::Error(failure);
        } else {
            std::vector<std::uint8_t> block(kBlock);
            // Bounded by the dump's size as verified.
            while (given < e.sourceSize) {
                const auto n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(e.sourceSize - given, kBlock));
                const ssize_t got = ::pread(fd.get(), block.data(), n, static_cast<off_t>(given));
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    throw core::Error(core::kStreamReadError);
                counted(std::span(block).first(static_cast<std::size_t>(got)));
            }
        }
        if (given != e.sourceSize)
            throw core::Error("\"" + dump.path + "\" changed since it was verified");
        if (e.padByte && e.size > given) {
            const std::vector<std::uint8_t> fill(kBlock, *e.padByte);
            // Bounded by the padded size, at most the largest chip.
            for (std::uint64_t left = e.size - given; left > 0;) {
                const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kBlock));
                counted(std::span(fill).first(n));
                left -= n;
            }
        }
    };
}

// Creates DIR and DIR/folder (never through a link) and returns the folder's path.
std::string makeFolder(const OrganiseOptions& options, const std::string& folder)
{
    // DIR and the folders above it, as `mkdir -p` makes them; bounded by the path's length.
    for (std::size_t at = options.to.find('/', 1);; at = options.to.find('/', at + 1)) {
        const std::string part = options.to.substr(0, at);
        if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
            throw core::Error(core::cannotCreateMessage(part, errno));
        if (at == std::string::npos)
            break;
    }
    const std::string path = options.to + "/" + folder;
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
        throw core::Error(core::cannotCreateMessage(path, errno));
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        throw core::Error(core::cannotCreateMessage(path, errno));
    if (!S_ISDIR(st.st_mode))
        throw core::Error(core::cannotCreateMessage(path, ENOTDIR));
    return path;
}

void syncFolder(const std::string& path)
{
    const core::UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid())
        ::fsync(dir.get());
}

std::string differsMessage(const std::string& path)
{
    return "\"" + path + "\" exists and holds something else; it was left as it is";
}

// Whether the zip at `path` holds exactly the wanted roms (names, sizes and CRC-32s), and is
// torrentzipped when that is wanted.
bool zipHolds(int fd, const std::vector<std::pair<std::string, Expected>>& wanted, bool torrentzip)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const core::DescriptorStream stream(fd, static_cast<std::uint64_t>(st.st_size));
    if (torrentzip && !isTorrentZipped(stream))
        return false;
    std::optional<detail::Directory> directory;
    try {
        directory = detail::readDirectory(stream);
    } catch (const core::Error&) {
        return false;
    }
    if (!directory || directory->entries.size() != wanted.size())
        return false;
    return std::all_of(wanted.begin(), wanted.end(), [&](const auto& w) {
        return std::any_of(directory->entries.begin(), directory->entries.end(),
                           [&](const auto& d) {
                               return d.name == w.first && d.size == w.second.size &&
                                      w.second.crc && d.crc32 == *w.second.crc;
                           });
    });
}

// Every member of the zip just written read back and hashed against what it must hold.
bool zipReadsBack(const std::string& path,
                  const std::vector<std::pair<std::string, Expected>>& wanted)
{
    std::size_t good = 0;
    std::unique_ptr<core::ImageVerifier> verifier;
    std::string name;
    MemberEvents events;
    events.onBegin = [&](const StreamedMember& m) {
        verifier = std::make_unique<core::ImageVerifier>(noDats(), m.declaredSize, true);
        return verifier->sinks();
    };
    events.onEnd = [&](const StreamedMember& m, const std::string& error) {
        if (!error.empty())
            return;
        const auto result = verifier->result();
        for (const auto& w : wanted)
            if (w.first == m.name && result && hashesAgree(*result, w.second))
                ++good;
    };
    try {
        streamMembers(
            path, [](const std::string&) { return true; }, events);
    } catch (const core::Error&) {
        return false;
    }
    return good == wanted.size();
}

} // namespace

std::string componentName(std::string_view name, std::size_t limit)
{
    std::string out = core::cleanName(std::string(name));
    for (char& c : out)
        if (std::strchr(":*?\"<>|", c) != nullptr && c != '\0')
            c = '_';
    // Bounded by the name's length.
    while (!out.empty() && (out.back() == '.' || out.back() == ' '))
        out.pop_back();
    if (out.empty())
        out = "_";
    if (reservedDeviceName(out))
        out.insert(0, 1, '_');
    if (out.size() <= limit)
        return out;
    // Cut the stem, keeping an extension of a few bytes (".nds", ".zip").
    const std::size_t dot = out.rfind('.');
    const std::string ext =
        dot != std::string::npos && dot > 0 && out.size() - dot <= 8 && out.size() - dot < limit
            ? out.substr(dot)
            : std::string();
    std::string stem(
        cutUtf8(std::string_view(out).substr(0, out.size() - ext.size()), limit - ext.size()));
    // Cutting may leave a trailing dot or space behind.
    while (!stem.empty() && (stem.back() == '.' || stem.back() == ' '))
        stem.pop_back();
    return (stem.empty() ? "_" : stem) + ext;
}

Plan planOrganise(const std::vector<Dump>& dumps, const core::DatSet& dats, OrganiseFormat format,
                  std::size_t nameLimit)
{
    Plan plan;
    // A clean, unique name for each original name within one scope (the destination folder, a
    // DAT's folder, a zip): the first comer keeps the clean name, later ones take " (k)".
    struct Names {
        std::map<std::string, std::string> given; // original -> clean
        std::map<std::string, int> taken;         // folded clean name -> uses
        std::string nameFor(const std::string& key, const std::string& original, std::size_t limit)
        {
            if (const auto it = given.find(key); it != given.end())
                return it->second;
            std::string clean = componentName(original, limit);
            std::string candidate = clean;
            // Bounded: each pass tries the next suffix and there are at most as many names as
            // dumps.
            for (std::uint64_t k = 2; taken.count(folded(candidate)) != 0; ++k)
                candidate = componentName(core::detail::withSuffix(clean, k), limit);
            taken[folded(candidate)] = 1;
            return given[key] = candidate;
        }
    };
    Names folders;
    std::map<std::string, Names> files;             // by folder
    std::map<std::string, Names> members;           // by target path
    std::map<std::uint32_t, std::size_t> placedRom; // rom -> dump
    std::map<std::string, std::size_t> targetOf;    // folder/file -> index in plan.targets

    for (std::size_t i = 0; i < dumps.size(); ++i) {
        const core::VerifyResult& r = dumps[i].result;
        if (r.matches.empty() ||
            (r.verdict != core::Verdict::Verified && r.verdict != core::Verdict::VerifiedTrimmed))
            continue;
        const core::DatRom rom = dats.roms()[r.matches.front().rom];
        const auto [first, fresh] = placedRom.emplace(r.matches.front().rom, i);
        if (!fresh) {
            plan.duplicates.push_back({i, first->second});
            continue;
        }
        // Two DATs may share a name (a new version beside an old one): the DAT's index keeps
        // them apart.
        const std::string& datName = dats.dats()[rom.dat].name;
        const std::string folder =
            folders.nameFor(std::to_string(rom.dat) + "/" + datName, datName, nameLimit);
        std::string file;
        std::string member;
        if (format == OrganiseFormat::Raw) {
            file = files[folder].nameFor(std::string(rom.rom), std::string(rom.rom), nameLimit);
        } else {
            const std::string zipName = std::string(rom.game) + ".zip";
            file = files[folder].nameFor(zipName, zipName, nameLimit);
            member = members[folder + "/" + file].nameFor(std::string(rom.rom),
                                                          std::string(rom.rom), nameLimit);
        }
        const std::string key = folder + "/" + file;
        auto [at, added] = targetOf.emplace(key, plan.targets.size());
        if (added)
            plan.targets.push_back({folder, file, {}});
        plan.targets[at->second].roms.push_back(
            {i, r.matches.front().rom, format == OrganiseFormat::Raw ? file : member});
    }
    return plan;
}

std::string targetPath(const OrganiseOptions& options, const Target& target)
{
    return options.to + "/" + target.folder + "/" + target.file;
}

namespace {

// Where one target goes and what it must hold.
struct Placing {
    const Target& target;
    const std::vector<Dump>& dumps;
    const OrganiseOptions& options;
    std::string folder;
    std::string dest;
    std::vector<std::pair<std::string, Expected>> wanted;
};

// Sources are removed only once the destination holds them, synced and read back; a source in
// an archive is kept and its archive listed.
void removeSources(const Placing& p, TargetOutcome& outcome)
{
    if (p.options.mode != OrganiseMode::Move)
        return;
    syncFolder(p.folder);
    for (const RomPlacement& rom : p.target.roms) {
        const Dump& d = p.dumps[rom.dump];
        if (d.member) {
            outcome.keptArchives.push_back(d.path);
            continue;
        }
        struct stat src {
        }, dst{};
        // The destination itself (already in place) is never a source to remove.
        if (::stat(d.path.c_str(), &src) == 0 && ::stat(p.dest.c_str(), &dst) == 0 &&
            src.st_dev == dst.st_dev && src.st_ino == dst.st_ino)
            continue;
        if (::unlink(d.path.c_str()) != 0 && errno != ENOENT)
            throw core::Error("Cannot remove file \"" + d.path + "\". " + std::strerror(errno));
        outcome.removed.push_back(d.path);
    }
}

// Whether the raw file open at `fd` holds the one wanted rom.
bool rawHolds(int fd, const Expected& e)
{
    const auto got = hashFile(fd);
    return got && hashesAgree(*got, e);
}

// Already there: the very file, or a file holding the right bytes. Anything else at the
// destination is an error; nothing there is false.
bool alreadyInPlace(const Placing& p)
{
    const core::UniqueFd existing(::open(p.dest.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!existing.valid() && errno == ENOENT)
        return false;
    const bool holds =
        existing.valid() &&
        (p.options.format == OrganiseFormat::Raw
             ? rawHolds(existing.get(), p.wanted.front().second)
             : zipHolds(existing.get(), p.wanted, p.options.format == OrganiseFormat::TorrentZip));
    if (!holds)
        throw core::Error(differsMessage(p.dest));
    return true;
}

// A raw dump linked, or moved by a rename on one file system; nullopt when it must be copied.
std::optional<Outcome> linkOrRename(const Placing& p, const Dump& dump, const Expected& e)
{
    const bool asIs = !dump.member && e.size == e.sourceSize;
    if (p.options.mode == OrganiseMode::Link) {
        if (!asIs)
            throw core::Error("\"" + dump.path +
                              "\" cannot be linked: it is a member of an archive or needs "
                              "padding");
        if (::link(dump.path.c_str(), p.dest.c_str()) != 0)
            throw core::Error("Cannot link \"" + p.dest + "\" to \"" + dump.path + "\". " +
                              (errno == EXDEV ? std::string("They are on different file systems")
                                              : std::string(std::strerror(errno))));
        return Outcome::Linked;
    }
    if (p.options.mode == OrganiseMode::Move && asIs) {
        // One file system: a rename, which never leaves the dump nowhere. RENAME_NOREPLACE keeps
        // a file that appeared meanwhile.
        if (::renameat2(AT_FDCWD, dump.path.c_str(), AT_FDCWD, p.dest.c_str(), RENAME_NOREPLACE) ==
            0) {
            syncFolder(p.folder);
            return Outcome::Moved;
        }
        if (errno != EXDEV)
            throw core::Error("Cannot move \"" + dump.path + "\" to \"" + p.dest + "\". " +
                              std::strerror(errno));
    }
    return std::nullopt;
}

// A raw copy placed by naming the copy staged while the dump was verified: the bytes that were
// hashed, read once. False when there is none that fits (an archive member, padding to add).
bool placeStaged(const Placing& p, const Dump& dump, const Expected& e)
{
    return p.options.mode == OrganiseMode::Copy && dump.staged && !dump.member &&
           e.size == e.sourceSize && dump.staged->holds(e.sourceSize) && dump.staged->place(p.dest);
}

// Closes the staged copies of a target's dumps when the target is done, whatever happened.
class StagedRelease {
public:
    explicit StagedRelease(const Placing& p) : m_p(p) {}
    ~StagedRelease()
    {
        for (const RomPlacement& rom : m_p.target.roms)
            if (const auto& staged = m_p.dumps[rom.dump].staged)
                staged->discard();
    }
    StagedRelease(const StagedRelease&) = delete;
    StagedRelease& operator=(const StagedRelease&) = delete;

private:
    const Placing& m_p;
};

void writeRaw(const Placing& p, const Dump& dump, const Expected& e,
              const core::Checkpoint& checkpoint)
{
    core::OutputFile out(p.dest, core::Overwrite::Refuse);
    sourceOf(dump, e, checkpoint)([&](std::span<const std::uint8_t> block) { out.write(block); });
    out.commit();
}

void writeZipTarget(const Placing& p, const core::Checkpoint& checkpoint)
{
    if (p.options.mode == OrganiseMode::Link)
        throw core::Error("--link needs --format raw");
    std::vector<ZipMember> zipMembers;
    for (std::size_t i = 0; i < p.target.roms.size(); ++i)
        zipMembers.push_back({p.target.roms[i].name, sourceOf(p.dumps[p.target.roms[i].dump],
                                                              p.wanted[i].second, checkpoint)});
    core::OutputFile out(p.dest, core::Overwrite::Refuse);
    writeZip(out, std::move(zipMembers),
             p.options.format == OrganiseFormat::TorrentZip ? ZipStyle::TorrentZip
                                                            : ZipStyle::Plain,
             checkpoint);
    out.commit();
}

// The destination just written, read back whole against what it must hold.
bool readsBack(const Placing& p)
{
    if (p.options.format != OrganiseFormat::Raw)
        return zipReadsBack(p.dest, p.wanted);
    const core::UniqueFd written(::open(p.dest.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    return written.valid() && rawHolds(written.get(), p.wanted.front().second);
}

} // namespace

TargetOutcome carryOut(const Target& target, const std::vector<Dump>& dumps,
                       const core::DatSet& dats, const OrganiseOptions& options,
                       const core::Checkpoint& checkpoint)
{
    Placing p{target, dumps, options, makeFolder(options, target.folder), {}, {}};
    p.dest = p.folder + "/" + target.file;
    const bool raw = options.format == OrganiseFormat::Raw;
    const bool padded = !raw || options.pad;
    for (const RomPlacement& rom : target.roms)
        p.wanted.emplace_back(rom.name, expectedFor(dumps[rom.dump], dats, padded));

    const StagedRelease release(p);
    TargetOutcome outcome;
    if (alreadyInPlace(p)) {
        outcome.outcome = Outcome::InPlace;
        removeSources(p, outcome);
        return outcome;
    }
    if (raw) {
        const Dump& dump = dumps[target.roms.front().dump];
        const Expected& e = p.wanted.front().second;
        if (const auto done = linkOrRename(p, dump, e)) {
            outcome.outcome = *done;
            return outcome;
        }
        if (!placeStaged(p, dump, e))
            writeRaw(p, dump, e, checkpoint);
    } else {
        writeZipTarget(p, checkpoint);
    }
    if (options.mode != OrganiseMode::Move) {
        outcome.outcome = Outcome::Written;
        return outcome;
    }
    if (!readsBack(p))
        throw core::Error("\"" + p.dest + "\" did not read back as written; the source was kept");
    removeSources(p, outcome);
    outcome.outcome = Outcome::Moved;
    return outcome;
}

} // namespace cartscope::archive
