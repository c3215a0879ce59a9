#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/organise_expected.h"
#include "archive/organise_plan.h"
#include "archive/staged_copy.h"
#include "archive/staged_zip.h"
#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/rebuild/output_file.h"

// Carrying out one target of a plan: a destination already in place, a link, a rename, a staged
// copy named, or the dump written again; a source removed only once its copy is safe.
namespace cartscope::archive {

namespace {

using detail::Expected;

// Creates DIR and DIR/folder (never through a link) and returns the folder's path.
std::string makeFolder(const OrganiseOptions& options, const std::string& folder)
{
    const std::string path = options.to + "/" + folder;
    const auto make = [](const std::string& p) {
        if (::mkdir(p.c_str(), 0777) != 0 && errno != EEXIST)
            throw core::Error(core::cannotCreateMessage(p, errno));
    };
    // DIR and the folders above it, as `mkdir -p` makes them, only when the folder cannot be
    // made at once (the first target of a run); bounded by the path's length.
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        if (errno != ENOENT)
            throw core::Error(core::cannotCreateMessage(path, errno));
        for (std::size_t at = options.to.find('/', 1);; at = options.to.find('/', at + 1)) {
            make(options.to.substr(0, at));
            if (at == std::string::npos)
                break;
        }
        make(path);
    }
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

// Where one target goes and what it must hold.
struct Placing {
    const Target& target;
    const std::vector<Dump>& dumps;
    const OrganiseOptions& options;
    std::string folder;
    std::string dest;
    detail::WantedMembers wanted;
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

// Already there: the very file, or a file holding the right bytes. Anything else at the
// destination is an error; nothing there is false.
bool alreadyInPlace(const Placing& p)
{
    const core::UniqueFd existing(::open(p.dest.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!existing.valid() && errno == ENOENT)
        return false;
    const bool holds = existing.valid() &&
                       (p.options.format == OrganiseFormat::Raw
                            ? detail::rawHolds(existing.get(), p.wanted.front().second)
                            : detail::zipHolds(existing.get(), p.wanted,
                                               p.options.format == OrganiseFormat::TorrentZip));
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
// hashed, read once, padded as they matched when padding is wanted. False when there is none
// that fits; the dump is then read again.
bool placeStaged(const Placing& p, const Dump& dump, const Expected& e)
{
    StagedCopy* const copy = dump.staged ? dump.staged->copy.get() : nullptr;
    if (p.options.mode == OrganiseMode::Link || !copy || !copy->holds(e.sourceSize))
        return false;
    if (e.size != e.sourceSize && !(e.padByte && copy->padTo(e.size, *e.padByte)))
        return false;
    return copy->place(p.dest);
}

// A zip written from the members deflated while their dumps were verified; false when one of
// them has none that holds the bytes wanted (the zip is then written by reading them again).
bool writeStagedZipTarget(const Placing& p)
{
    std::vector<StagedMember> members;
    for (std::size_t i = 0; i < p.target.roms.size(); ++i) {
        const auto& staged = p.dumps[p.target.roms[i].dump].staged;
        const Expected& e = p.wanted[i].second;
        const StagedDeflate* deflated = staged ? staged->deflated.get() : nullptr;
        if (p.options.mode == OrganiseMode::Link || !deflated || !deflated->holds(e.size, e.crc))
            return false;
        members.push_back({p.target.roms[i].name, deflated});
    }
    core::OutputFile out(p.dest, core::Overwrite::Refuse);
    writeStagedZip(out, std::move(members),
                   p.options.format == OrganiseFormat::TorrentZip ? ZipStyle::TorrentZip
                                                                  : ZipStyle::Plain);
    out.commit();
    return true;
}

// Closes the staged bytes of a target's dumps when the target is done, whatever happened.
class StagedRelease {
public:
    explicit StagedRelease(const Placing& p) : m_p(p) {}
    ~StagedRelease()
    {
        for (const RomPlacement& rom : m_p.target.roms)
            if (const auto& staged = m_p.dumps[rom.dump].staged) {
                if (staged->copy)
                    staged->copy->discard();
                if (staged->deflated)
                    staged->deflated->discard();
            }
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
    detail::sourceOf(dump, e,
                     checkpoint)([&](std::span<const std::uint8_t> block) { out.write(block); });
    out.commit();
}

void writeZipTarget(const Placing& p, const core::Checkpoint& checkpoint)
{
    if (p.options.mode == OrganiseMode::Link)
        throw core::Error("--link needs --format raw");
    std::vector<ZipMember> zipMembers;
    for (std::size_t i = 0; i < p.target.roms.size(); ++i)
        zipMembers.push_back(
            {p.target.roms[i].name,
             detail::sourceOf(p.dumps[p.target.roms[i].dump], p.wanted[i].second, checkpoint)});
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
        return detail::zipReadsBack(p.dest, p.wanted);
    const core::UniqueFd written(::open(p.dest.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    return written.valid() && detail::rawHolds(written.get(), p.wanted.front().second);
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
        p.wanted.emplace_back(rom.name, detail::expectedFor(dumps[rom.dump], dats, padded));

    const StagedRelease release(p);
    TargetOutcome outcome;
    if (alreadyInPlace(p)) {
        outcome.outcome = Outcome::InPlace;
        removeSources(p, outcome);
        return outcome;
    }
    bool staged = false;
    if (raw) {
        const Dump& dump = dumps[target.roms.front().dump];
        const Expected& e = p.wanted.front().second;
        if (const auto done = linkOrRename(p, dump, e)) {
            outcome.outcome = *done;
            return outcome;
        }
        staged = placeStaged(p, dump, e);
        if (!staged)
            writeRaw(p, dump, e, checkpoint);
    } else if (!writeStagedZipTarget(p)) {
        writeZipTarget(p, checkpoint);
    }
    if (options.mode != OrganiseMode::Move) {
        outcome.outcome = Outcome::Written;
        return outcome;
    }
    // A staged raw copy needs no reading back: its bytes are the very blocks the verification
    // hashed, handed to the copy in the same read, every write of them (and of the padding)
    // checked whole, then synced and closed without an error. Reading it back now would be
    // served from the same page cache and could catch nothing these checks do not. A zip is
    // read back either way: its bytes are the compressor's, not the ones hashed.
    if (!staged && !readsBack(p))
        throw core::Error("\"" + p.dest + "\" did not read back as written; the source was kept");
    removeSources(p, outcome);
    outcome.outcome = Outcome::Moved;
    return outcome;
}

} // namespace cartscope::archive
