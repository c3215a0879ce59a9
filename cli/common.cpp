#include "cli/common.h"

#include "cli/commands.h"
#include "core/base/error.h"
#include "core/base/text.h"
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

archive::InputOptions inputOptions(bool exclusive, std::span<core::ReadSink* const> copySinks)
{
    archive::InputOptions options;
    options.exclusive = exclusive;
    options.cancelled = [] { return g_interrupted.load(); };
    options.checkpoint = checkInterrupted;
    options.copySinks = copySinks;
    return options;
}

core::LoadedImage load(InputImage& image, core::Rows rows)
{
    core::LoadOptions options;
    options.rows = rows;
    if (image.fromArchive())
        options.knownCrc32 = image.fromArchive()->crc32;
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

std::string formatJsonFields(const core::formats::FileFormat& f)
{
    return ", \"format\": " + (f.format ? core::jsonString(*f.format) : std::string("null")) +
           ", \"compression\": " +
           (f.compression ? core::jsonString(std::string(core::codecName(*f.compression)))
                          : std::string("null"));
}

std::string filesJson(const std::vector<core::FileRow>& rows, int indent,
                      const std::vector<core::formats::FileFormat>* formats)
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
        if (formats)
            s += formatJsonFields((*formats)[i]);
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

std::string narcJson(const core::Narc& narc, const core::Stream& image, int indent)
{
    const core::Stream& source = narc.memberStream(image);
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
                   ", \"offset\": " + (narc.decompressed ? "null, \"offsetInArchive\": " : "") +
                   core::jsonString(rows[i].offsetText()) +
                   ", \"size\": " + std::to_string(m.size) +
                   ", \"narc\": " + (m.narc ? "true" : "false") +
                   ", \"compressed\": " + (m.compressed ? "true" : "false");
        if (m.problem.empty())
            members += formatJsonFields(core::formats::identifyAt(source, m.offset, rows[i].size));
        else
            members += formatJsonFields({});
        if (!m.problem.empty())
            members += ", \"problem\": " + core::jsonString(m.problem);
        members += "}";
    }
    if (!rows.empty())
        members += "\n" + std::string(static_cast<std::size_t>(indent + 2), ' ') + "]";
    JsonObject o;
    o.str("path", narc.path);
    if (narc.decompressed)
        o.str("compression", std::string(core::codecName(narc.decompressed->codec)));
    o.boolean("named", narc.named).raw("notes", notes).raw("members", members);
    return o.text(indent);
}

} // namespace cartscope::cli
