#include "cli/common.h"

#include "archive/member_stream.h"
#include "cli/commands.h"
#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/base/text.h"
#include "core/io/archive_kind.h"
#include "core/io/stream.h"

namespace cartscope::cli {

void checkInterrupted()
{
    if (g_interrupted)
        throw Interrupted{};
}

std::vector<std::string> Invocation::values(const std::string& option) const
{
    const auto it = options.find(option);
    return it == options.end() ? std::vector<std::string>{} : it->second;
}

std::optional<std::string> Invocation::value(const std::string& option) const
{
    const auto it = options.find(option);
    if (it == options.end() || it->second.empty())
        return std::nullopt;
    return it->second.back();
}

namespace {

struct FirstMemberRead {};

// Why the first image member could not be taken out, as verify says it (encrypted, damaged, too
// large, a name that is not UTF-8): ". "a.nds": The member is encrypted", or empty when the
// archive holds no image member at all. Only on that failure: the member is read once more,
// and its bytes go nowhere.
std::string firstImageProblem(const std::string& path)
{
    std::string problem;
    archive::MemberEvents events;
    events.onBegin = [](const archive::StreamedMember&) {
        return std::span<core::ReadSink* const>();
    };
    events.onEnd = [&](const archive::StreamedMember& m, const std::string& error) {
        if (!error.empty())
            problem = ". \"" + m.name + "\": " + error;
        throw FirstMemberRead{};
    };
    events.cancelled = [] { return g_interrupted.load(); };
    try {
        archive::streamMembers(path, archive::isImageMemberName, events);
    } catch (const FirstMemberRead&) {
    } catch (const core::Error& e) {
        problem = ". " + std::string(e.what());
    }
    return problem;
}

} // namespace

Input openInput(const std::string& path, std::span<core::ReadSink* const> copySinks)
{
    Input in;
    in.given = path;
    // The first bytes decide, whatever the name: a zip archive is opened as one, another
    // archive is refused by its kind rather than read as a cartridge. A file named .zip without
    // the signature (bytes prepended to the archive) still goes to the archive reader.
    const core::ArchiveKind kind = core::archiveKindOf(core::FileStream(path));
    if (kind != core::ArchiveKind::None && kind != core::ArchiveKind::Zip)
        throw core::Error(core::unsupportedArchiveMessage(path, kind));
    if (kind != core::ArchiveKind::Zip &&
        !core::equalsIgnoreCase(core::extensionOf(path), ".zip")) {
        in.imagePath = path;
        return in;
    }
    archive::ExtractEvents events;
    events.onProgress = [](int, int) { return g_interrupted.load(); };
    in.fromArchive = archive::openFirstImage(path, events, copySinks);
    checkInterrupted();
    if (!in.fromArchive)
        throw core::Error("No .nds or .ids image could be taken out of \"" + path + "\"" +
                          firstImageProblem(path));
    if (in.fromArchive->copy)
        in.imagePath = in.fromArchive->copy->path;
    else if (!in.fromArchive->memory)
        in.imagePath = path;
    return in;
}

InputImage::InputImage(const Input& in, bool exclusive)
{
    const archive::ArchiveImage* member =
        in.fromArchive && !in.fromArchive->copy ? &*in.fromArchive : nullptr;
    if (member && member->memory) {
        m_held = member->memory;
        m_image = &m_memory.emplace(m_held->bytes());
    } else if (member) {
        const core::FileStream& archive = m_file.emplace(in.imagePath);
        m_image = &m_member.emplace(archive, member->offset, member->size);
    } else {
        m_image = &m_file.emplace(in.imagePath, exclusive);
    }
    // The header read would stop at once with "Stream read error", which is also what a failing
    // disk used to say: an empty image is named for what it is.
    if (m_image->size() == 0)
        throw core::Error((in.fromArchive ? "The image \"" + in.fromArchive->memberName +
                                                "\" in the archive \"" + in.given + "\""
                                          : "The image \"" + in.given + "\"") +
                          " is empty (0 bytes)");
}

core::LoadedImage load(const Input& in, const core::Stream& image, core::Rows rows)
{
    core::LoadOptions options;
    options.rows = rows;
    if (in.fromArchive)
        options.knownCrc32 = in.fromArchive->crc32;
    core::LoadedImage loaded = core::loadImage(image, options);
    checkInterrupted();
    return loaded;
}

std::string safe(const std::string& s)
{
    return core::escapeForTerminal(s);
}

JsonObject& JsonObject::raw(const std::string& key, const std::string& encoded)
{
    m_items.emplace_back(key, encoded);
    return *this;
}

JsonObject& JsonObject::str(const std::string& key, const std::string& value)
{
    return raw(key, core::jsonString(value));
}

JsonObject& JsonObject::num(const std::string& key, std::int64_t value)
{
    return raw(key, std::to_string(value));
}

JsonObject& JsonObject::boolean(const std::string& key, bool value)
{
    return raw(key, value ? "true" : "false");
}

std::string JsonObject::text(int indent) const
{
    const std::string pad(static_cast<std::size_t>(indent + 2), ' ');
    std::string s = "{";
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        s += i ? ",\n" : "\n";
        s += pad + core::jsonString(m_items[i].first) + ": " + m_items[i].second;
    }
    s += m_items.empty() ? "}" : "\n" + std::string(static_cast<std::size_t>(indent), ' ') + "}";
    return s;
}

std::string JsonObject::line() const
{
    std::string s = "{";
    for (std::size_t i = 0; i < m_items.size(); ++i)
        s += (i ? ", " : "") + core::jsonString(m_items[i].first) + ": " + m_items[i].second;
    return s + "}";
}

std::string filesJson(const std::vector<core::FileRow>& rows, int indent)
{
    if (rows.empty())
        return "[]";
    const std::string pad(static_cast<std::size_t>(indent + 2), ' ');
    // Built in place, once: with 65,000 rows the text is megabytes, and every temporary copy of
    // it counts in the command's peak memory.
    std::string s = "[";
    s.reserve(rows.size() * (pad.size() + 96));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        s += i ? ",\n" : "\n";
        s += pad;
        s += "{\"path\": ";
        s += core::jsonString(rows[i].path);
        s += ", \"offset\": ";
        s += core::jsonString(rows[i].offsetText());
        s += ", \"size\": ";
        s += std::to_string(rows[i].size);
        s += ", \"pathBytes\": \"";
        s += hexBytes(core::charBytes(rows[i].path));
        s += "\"";
        if (rows[i].system)
            s += ", \"system\": true";
        if (!rows[i].problem.empty()) {
            s += ", \"problem\": ";
            s += core::jsonString(rows[i].problem);
        }
        s += "}";
    }
    s += "\n";
    s.append(static_cast<std::size_t>(indent), ' ');
    s += "]";
    return s;
}

std::string narcJson(const core::Narc& narc, int indent)
{
    const std::string pad(static_cast<std::size_t>(indent + 4), ' ');
    std::string notes = "[";
    for (std::size_t i = 0; i < narc.notes.size(); ++i)
        notes += (i ? ", " : "") + core::jsonString(narc.notes[i]);
    notes += "]";
    const std::vector<core::FileRow> rows = core::narcRows(narc);
    std::string members = rows.empty() ? "[]" : "[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const core::NarcMember& m = narc.members[i];
        members += i ? ",\n" : "\n";
        members += pad + "{\"path\": " + core::jsonString(m.path) +
                   ", \"offset\": " + core::jsonString(rows[i].offsetText()) +
                   ", \"size\": " + std::to_string(m.size) +
                   ", \"narc\": " + (m.narc ? "true" : "false") +
                   ", \"compressed\": " + (m.compressed ? "true" : "false");
        if (!m.problem.empty())
            members += ", \"problem\": " + core::jsonString(m.problem);
        members += "}";
    }
    if (!rows.empty())
        members += "\n" + std::string(static_cast<std::size_t>(indent + 2), ' ') + "]";
    JsonObject o;
    o.str("path", narc.path)
        .boolean("named", narc.named)
        .raw("notes", notes)
        .raw("members", members);
    return o.text(indent);
}

} // namespace cartscope::cli
