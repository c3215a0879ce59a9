#include "archive/selected_member.h"

#include "archive/libarchive_api.h"
#include "archive/libarchive_util.h"
#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/io/stream.h"

namespace cartscope::archive::detail {

namespace {

// The member's data as libarchive would read it, located from the archive's own records once
// libarchive has read its local header cleanly, so the reader can take the bytes itself;
// std::nullopt leaves them to libarchive.
std::optional<MemberData> ownRead(const OpenedArchive& opened, struct archive* reader,
                                  std::uint64_t declared)
{
    const la_int64_t at = la().archive_filter_bytes(reader, 0);
    if (at < 0 || !opened.directory)
        return std::nullopt;
    try {
        const core::DescriptorStream file(opened.fd, opened.fileSize);
        auto data = locateMemberData(file, *opened.directory, static_cast<std::uint64_t>(at));
        if (!data || data->size != declared)
            return std::nullopt;
        return data;
    } catch (const core::Error&) {
        return std::nullopt; // a read error: libarchive meets it again and decides
    }
}

// The member libarchive's current entry is (a regular file with a name, as listed).
Selected selectCurrent(const OpenedArchive& opened, archive_entry* entry, Member member,
                       bool warned)
{
    Selected s;
    s.member = std::move(member);
    s.clean = !warned;
    s.readable = !la().archive_entry_is_encrypted(entry) && la().archive_entry_size_is_set(entry) &&
                 la().archive_entry_size(entry) >= 0;
    if (!s.readable)
        return s;
    s.declared = static_cast<std::uint64_t>(la().archive_entry_size(entry));
    if (s.clean)
        s.data = ownRead(opened, opened.reader.get(), s.declared);
    return s;
}

} // namespace

// The member at member.index, walked to from libarchive's first entry. What the listing skips
// (no name, not a regular file) is never taken, even when asked for by position.
std::optional<Selected> selectMember(OpenedArchive& opened, const std::string& archivePath,
                                     const Member& member)
{
    if (!opened.reader || member.index >= entryBound(opened))
        return std::nullopt;
    const Utf8Names utf8Names;
    archive_entry* entry = nullptr;
    bool warned = false;
    // Bounded by member.index, itself below entryBound().
    for (std::size_t index = 0; index <= member.index; ++index) {
        const Step step = nextEntry(opened.reader.get(), &entry, &warned);
        if (step == Step::End)
            opened.throwReadError(archivePath);
        if (step == Step::End || (step == Step::Skip && index == member.index))
            return std::nullopt;
    }
    if (!memberName(entry) || la().archive_entry_filetype(entry) != AE_IFREG)
        return std::nullopt;
    return selectCurrent(opened, entry, member, warned);
}

namespace {

// How a walk for the image member treats an entry: taken at once, kept as the fallback when
// the walk ends without a member to take, or passed by.
enum class Rank { Take, Fallback, Pass };

// Without `wanted`: the first .nds/.ids member, else the first .dsi/.srl one. With it: an image
// member of that name, the one at its index when several share the name (so a row of a listing
// opens its own member), else the first of that name (the archive was rewritten since).
Rank rankOf(const char* name, std::size_t index, const std::optional<Member>& wanted)
{
    const core::ImageName kind = core::imageNameOf(name);
    if (!wanted)
        return kind == core::ImageName::Ds    ? Rank::Take
               : kind == core::ImageName::Dsi ? Rank::Fallback
                                              : Rank::Pass;
    if (kind == core::ImageName::None || wanted->name != name)
        return Rank::Pass;
    return index == wanted->index ? Rank::Take : Rank::Fallback;
}

} // namespace

// The image member by the one name rule (core::imageNameOf), in one walk: the walk stops at the
// member it takes; the fallback is taken when the walk ends without one. The fallback's data is
// located as the walk passes it, so it is read from the archive's records without libarchive;
// only when libarchive alone can decode it (another method, a header it warned about) does
// libarchive walk to it once more.
std::optional<Selected> findImage(OpenedArchive& opened, const std::string& archivePath,
                                  const std::optional<Member>& wanted)
{
    if (!opened.reader)
        return std::nullopt;
    std::optional<Selected> fallback;
    {
        const Utf8Names utf8Names;
        const std::uint64_t bound = entryBound(opened);
        for (std::size_t index = 0; index < bound; ++index) {
            archive_entry* entry = nullptr;
            bool warned = false;
            const Step step = nextEntry(opened.reader.get(), &entry, &warned);
            if (step == Step::End) {
                // An archive that could not be read to its end is not one without images.
                opened.throwReadError(archivePath);
                break;
            }
            const char* name = step == Step::Entry ? memberName(entry) : nullptr;
            if (!name || la().archive_entry_filetype(entry) != AE_IFREG)
                continue;
            const Rank rank = rankOf(name, index, wanted);
            const la_int64_t size = la().archive_entry_size(entry);
            Member member{index, name, size > 0 ? static_cast<std::uint64_t>(size) : 0};
            if (rank == Rank::Take)
                return selectCurrent(opened, entry, std::move(member), warned);
            if (rank == Rank::Fallback && !fallback) {
                fallback = selectCurrent(opened, entry, std::move(member), warned);
                fallback->positioned = false;
            }
        }
    }
    if (fallback && fallback->readable && !fallback->data) {
        openReader(opened, archivePath);
        return selectMember(opened, archivePath, fallback->member);
    }
    return fallback;
}

} // namespace cartscope::archive::detail
