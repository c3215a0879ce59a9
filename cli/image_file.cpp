#include "cli/image_file.h"

#include <algorithm>
#include <cctype>

#include "core/base/error.h"

namespace cartscope::cli {

namespace {

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string nameOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string baseOf(const std::string& path)
{
    const std::string name = nameOf(path);
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

bool hasExtension(const std::string& path, const std::string& extension)
{
    const std::string name = lower(nameOf(path));
    const std::string ext = lower(extension);
    return name.size() > ext.size() && name.ends_with(ext);
}

// The first bytes of a file some games compress: LZ10, LZ11, Huffman (4- and 8-bit), RLE.
bool looksCompressed(const std::vector<std::uint8_t>& bytes)
{
    if (bytes.empty())
        return false;
    const std::uint8_t b = bytes[0];
    return b == 0x10 || b == 0x11 || b == 0x24 || b == 0x28 || b == 0x30;
}

} // namespace

std::vector<std::uint8_t> readTreeFile(const core::Stream& image,
                                       const std::vector<core::FileRow>& rows,
                                       const std::string& path)
{
    const core::FileRow* row = nullptr;
    for (const core::FileRow& r : rows) {
        if (r.system)
            continue;
        if (r.path == path) {
            row = &r;
            break;
        }
        if (hasExtension(r.path, ".narc") && path.starts_with(r.path + "/"))
            throw core::Error("\"" + path + "\" lies inside the NARC archive \"" + r.path +
                              "\"; only files of the image's own tree are opened for now");
    }
    if (row == nullptr)
        throw core::Error("No file \"" + path + "\" in the image");
    if (!row->problem.empty())
        throw core::Error("\"" + path + "\": " + row->problem);
    if (row->size < 0 || row->offset > image.size() ||
        static_cast<std::uint64_t>(row->size) > image.size() - row->offset)
        throw core::Error("\"" + path + "\" lies past the end of the image");
    const auto size = static_cast<std::uint64_t>(row->size);
    if (size > kMaxDecodedFile)
        throw core::Error("\"" + path + "\" is too large to open (" + std::to_string(size) +
                          " bytes; at most 64 MiB)");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (image.pread(row->offset, bytes) != bytes.size())
        throw core::Error(core::kStreamReadError);
    if (looksCompressed(bytes))
        throw core::Error("\"" + path + "\" is compressed; it is not opened");
    return bytes;
}

std::string companionPath(const std::vector<core::FileRow>& rows, const std::string& path,
                          const std::string& extension, const std::string& option)
{
    const std::string folder = folderOf(path);
    const std::string base = lower(baseOf(path));
    std::vector<std::string> candidates;
    for (const core::FileRow& r : rows) {
        if (r.system || folderOf(r.path) != folder || !hasExtension(r.path, extension))
            continue;
        if (lower(baseOf(r.path)) == base)
            return r.path;
        candidates.push_back(r.path);
    }
    const std::string kind = extension.substr(1);
    if (candidates.size() == 1)
        return candidates.front();
    if (candidates.empty())
        throw core::Error("No " + kind + " file beside \"" + path + "\"; give one with " + option);
    std::string list;
    for (const std::string& c : candidates)
        list += (list.empty() ? "" : ", ") + c;
    throw core::Error("Several " + kind + " files could go with \"" + path + "\": " + list +
                      "; give one with " + option);
}

} // namespace cartscope::cli
