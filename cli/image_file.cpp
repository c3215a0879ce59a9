#include "cli/image_file.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "core/base/error.h"
#include "core/compress/compress.h"
#include "core/formats/companions.h"
#include "core/formats/identify.h"
#include "core/fs/narc.h"

namespace cartscope::cli {

namespace {

// A compressed file decompressed (a plausible header and no known magic of its own); others as
// they are.
std::vector<std::uint8_t> decompressed(std::vector<std::uint8_t> bytes, const std::string& path)
{
    if (core::formats::formatByMagic(bytes) || !core::plausibleCompression(bytes, bytes.size()))
        return bytes;
    return core::decompress(bytes, path);
}

std::vector<std::uint8_t> readRange(const core::Stream& stream, std::uint64_t offset,
                                    std::int64_t size, const std::string& path)
{
    if (size < 0 || offset > stream.size() ||
        static_cast<std::uint64_t>(size) > stream.size() - offset)
        throw core::Error("\"" + path + "\" lies past the end of the image");
    const auto bytes = static_cast<std::uint64_t>(size);
    if (bytes > kMaxDecodedFile)
        throw core::Error("\"" + path + "\" is too large to open (" + std::to_string(bytes) +
                          " bytes; at most 64 MiB)");
    std::vector<std::uint8_t> out(static_cast<std::size_t>(bytes));
    if (stream.pread(offset, out) != out.size())
        throw core::Error(core::kStreamReadError);
    return out;
}

// The archive `path` lies in and the member it names; archives inside archives are opened one
// level at a time, each level taking at least one component of the path.
struct InArchive {
    core::Narc narc;
    const core::NarcMember* member = nullptr;
};

std::optional<InArchive> findInArchive(const core::Stream& image,
                                       const std::vector<core::FileRow>& rows,
                                       const std::string& path)
{
    const core::FileRow* base = nullptr;
    for (const core::FileRow& r : rows)
        if (!r.system && path.size() > r.path.size() && path.starts_with(r.path) &&
            path[r.path.size()] == '/' && (!base || r.path.size() > base->path.size()))
            base = &r;
    if (base == nullptr)
        return std::nullopt;
    InArchive found{core::openNarc(image, rows, base->path), nullptr};
    while (true) {
        const std::string rest = path.substr(found.narc.path.size());
        const core::NarcMember* leads = nullptr;
        for (const core::NarcMember& m : found.narc.members) {
            if (m.path == rest) {
                found.member = &m;
                return found;
            }
            if (rest.starts_with(m.path + "/") && (!leads || m.path.size() > leads->path.size()))
                leads = &m;
        }
        if (leads == nullptr)
            throw core::Error("No file \"" + path + "\" in the image");
        found.narc = core::openNarc(image, rows, found.narc.path + leads->path);
    }
}

} // namespace

std::vector<std::uint8_t> readTreeFile(const core::Stream& image,
                                       const std::vector<core::FileRow>& rows,
                                       const std::string& path)
{
    const auto it = std::find_if(rows.begin(), rows.end(), [&](const core::FileRow& r) {
        return !r.system && r.path == path;
    });
    if (it != rows.end()) {
        if (!it->problem.empty())
            throw core::Error("\"" + path + "\": " + it->problem);
        return decompressed(readRange(image, it->offset, it->size, path), path);
    }
    const std::optional<InArchive> in = findInArchive(image, rows, path);
    if (!in)
        throw core::Error("No file \"" + path + "\" in the image");
    const core::NarcMember& m = *in->member;
    if (!m.problem.empty())
        throw core::Error("\"" + path + "\": " + m.problem);
    return decompressed(
        readRange(in->narc.memberStream(image), m.offset, static_cast<std::int64_t>(m.size), path),
        path);
}

std::vector<core::FileRow> rowsBeside(const core::Stream& image,
                                      const std::vector<core::FileRow>& rows,
                                      const std::string& path)
{
    const std::optional<InArchive> in = findInArchive(image, rows, path);
    if (!in)
        return rows;
    std::vector<core::FileRow> members = core::narcRows(in->narc);
    for (core::FileRow& r : members)
        r.path = in->narc.path + r.path;
    return members;
}

std::string companionPath(const std::vector<core::FileRow>& rows, const std::string& path,
                          const std::string& extension, const std::string& option)
{
    const core::formats::Companions found = core::formats::findCompanions(rows, path, extension);
    if (!found.chosen.empty())
        return found.chosen;
    const std::vector<std::string>& candidates = found.candidates;
    const std::string kind = extension.substr(1);
    if (candidates.empty())
        throw core::Error("No " + kind + " file beside \"" + path + "\"; give one with " + option);
    std::string list;
    for (const std::string& c : candidates)
        list += (list.empty() ? "" : ", ") + c;
    throw core::Error("Several " + kind + " files could go with \"" + path + "\": " + list +
                      "; give one with " + option);
}

} // namespace cartscope::cli
