#include "archive/image_input.h"

#include <sys/file.h>

#include "archive/member_stream.h"
#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/io/archive_kind.h"

namespace cartscope::archive {

namespace {

struct FirstMemberRead {};

// Why the image member could not be taken out, as verify says it (encrypted, damaged, too
// large, a name that is not UTF-8): ". "a.nds": The member is encrypted", or empty when the
// archive holds no image member at all. Only on that failure: the members are read once more,
// and their bytes go nowhere. The member is the one the lookup takes: the first .nds/.ids
// member, else the first .dsi/.srl one.
std::string firstImageProblem(int fd, const std::string& path,
                              const std::function<bool()>& cancelled)
{
    std::optional<std::string> problem; // of the first .dsi/.srl member, until a .nds/.ids ends
    MemberEvents events;
    events.onBegin = [](const StreamedMember&) { return std::span<core::ReadSink* const>(); };
    events.onEnd = [&](const StreamedMember& m, const std::string& error) {
        const bool first = core::imageNameOf(m.name) == core::ImageName::Ds;
        if (first || !problem)
            problem = error.empty() ? std::string() : ". \"" + m.name + "\": " + error;
        if (first)
            throw FirstMemberRead{};
    };
    events.cancelled = cancelled;
    try {
        streamMembers(
            fd, path,
            [](const std::string& name) {
                return core::imageNameOf(name) != core::ImageName::None;
            },
            events);
    } catch (const FirstMemberRead&) {
    } catch (const core::Error& e) {
        problem = ". " + std::string(e.what());
    }
    return problem.value_or(std::string());
}

} // namespace

InputImage::InputImage(const std::string& path, const InputOptions& options) : m_given(path)
{
    const core::FileStream& file = m_file.emplace(path);
    const core::ArchiveKind kind = core::archiveKindOf(file);
    const bool archive = kind == core::ArchiveKind::Zip || kind == core::ArchiveKind::SevenZip;
    if (kind != core::ArchiveKind::None && !archive)
        throw core::Error(core::unsupportedArchiveMessage(path, kind));
    if (!archive && !core::equalsIgnoreCase(core::extensionOf(path), ".zip")) {
        if (options.exclusive && ::flock(file.fd(), LOCK_EX | LOCK_NB) != 0)
            throw core::Error(core::cannotOpenMessage(path, errno));
        m_image = &file;
    } else {
        ExtractEvents events;
        events.onProgress = [&](int, int) { return options.cancelled && options.cancelled(); };
        m_fromArchive =
            takeImage(file.fd(), file.size(), path, Placement::InPlace, events, options.copySinks);
        if (options.checkpoint)
            options.checkpoint();
        if (!m_fromArchive)
            throw core::Error("No .nds or .ids image could be taken out of \"" + path + "\"" +
                              firstImageProblem(file.fd(), path, options.cancelled));
        if (m_fromArchive->copy)
            m_image = &m_copy.emplace(m_fromArchive->copy->path, options.exclusive);
        else if (m_fromArchive->memory)
            m_image = &m_memory.emplace(m_fromArchive->memory->bytes());
        else
            m_image = &m_member.emplace(file, m_fromArchive->offset, m_fromArchive->size);
    }
    // The header read would stop at once with "Stream read error", which is also what a failing
    // disk used to say: an empty image is named for what it is.
    if (m_image->size() == 0)
        throw core::Error((m_fromArchive ? "The image \"" + m_fromArchive->memberName +
                                               "\" in the archive \"" + path + "\""
                                         : "The image \"" + path + "\"") +
                          " is empty (0 bytes)");
}

} // namespace cartscope::archive
