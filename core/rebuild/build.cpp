#include "core/rebuild/build.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/checksum/digest.h"
#include "core/fs/system_files.h"
#include "core/io/open_below.h"
#include "core/io/stream.h"
#include "core/io/whole_file.h"
#include "core/rebuild/builder.h"
#include "core/rebuild/edit_plan.h"
#include "core/rebuild/fresh_tree.h"
#include "core/rebuild/recompress.h"
#include "core/verify/trim.h"

namespace cartscope::core::rebuild {

namespace building {

std::int64_t mtimeOf(const struct stat& st)
{
    return std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
}

Builder::Builder(const std::string& tree, const std::string& out, const BuildOptions& options)
    : m_tree(tree), m_layoutPath(tree + kLayoutSuffix), m_options(options)
{
    m_treeFd = UniqueFd(::open(m_tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_treeFd.valid())
        throw Error(cannotOpenMessage(m_tree, errno));
    m_layoutFd =
        UniqueFd(::open(m_layoutPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!m_layoutFd.valid())
        throw Error("No layout \"" + m_layoutPath +
                    "\" beside the tree: build takes a tree that extract --system wrote");
    const LayoutText text = readLayoutText();
    m_layout = decodeLayout(std::string_view(text.bytes.get(), text.size),
                            m_layoutPath + "/" + kLayoutFile);
    checkOutput(out);
}

BuildResult Builder::run(const std::string& out)
{
    Output image(out, m_options.force);
    if (::ftruncate(image.fd(), static_cast<off_t>(m_layout.imageSize)) != 0)
        throw Error(cannotWriteMessage(out, errno));
    m_byPath = PathIndex(m_layout.regions.size());
    for (std::size_t i = 0; i < m_layout.regions.size(); ++i)
        if (!inLayoutFolder(m_layout.regions[i].kind))
            m_byPath.insert(m_layout.regions[i].path, static_cast<std::uint32_t>(i));
    m_seen.assign(m_layout.regions.size(), false);
    m_newSize.assign(m_layout.regions.size(), std::nullopt);
    for (const Region& r : m_layout.regions)
        if (r.kind != RegionKind::File && !inLayoutFolder(r.kind))
            ++m_systemRegions;
    walkTree(image);
    repackEdited();
    for (std::size_t i = 0; i < m_layout.regions.size(); ++i) {
        const Region& r = m_layout.regions[i];
        if (inLayoutFolder(r.kind) || m_seen[i])
            continue;
        // System files and overlays keep their places: one missing cannot be built.
        if (r.kind != RegionKind::File)
            throw Error("The file \"" + m_tree + "/" + r.path + "\" is missing");
        m_names.gone.push_back(i);
    }
    BuildResult result;
    result.bytes = m_layout.imageSize;
    result.edited = m_edited;
    if (!m_names.gone.empty() || !m_names.unlisted.empty())
        planNames(image, result);
    if (m_edited == 0 && !m_options.compact && !m_renames) {
        for (const Region& r : m_layout.regions)
            if (inLayoutFolder(r.kind))
                copyLayoutFile(r.path, r.size, r.offset, image);
        writeRuns(image, m_layout.imageSize);
    } else {
        writeEdited(image, result);
    }
    image.commit();
    result.files = m_files;
    return result;
}

LayoutText Builder::readLayoutText()
{
    const std::string path = m_layoutPath + "/" + kLayoutFile;
    const UniqueFd fd(::openat(m_layoutFd.get(), kLayoutFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
        throw Error(cannotOpenMessage(path, errno));
    if (!S_ISREG(st.st_mode))
        throw Error(notRegularMessage(path, st.st_mode));
    if (static_cast<std::uint64_t>(st.st_size) > kMaxLayoutBytes)
        throw Error("The layout \"" + path + "\" is larger than 128 MiB");
    // Not zeroed first: the read fills every byte or throws.
    LayoutText text{std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(st.st_size)),
                    static_cast<std::size_t>(st.st_size)};
    DescriptorStream in(fd.get(), text.size, "file \"" + path + "\"");
    if (in.pread(0, std::span(reinterpret_cast<std::uint8_t*>(text.bytes.get()), text.size)) !=
        text.size)
        throw Error(kStreamReadError);
    return text;
}

// OUT is never one of the build's own files, nor placed in the tree or the layout (it would
// contradict them at the next build).
void Builder::checkOutput(const std::string& out)
{
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::path(out).parent_path();
    if (folder.empty())
        folder = ".";
    const auto canonicalFolder = std::filesystem::weakly_canonical(folder, ec);
    const auto tree = std::filesystem::weakly_canonical(m_tree, ec);
    const auto layout = std::filesystem::weakly_canonical(m_layoutPath, ec);
    const auto within = [&](const std::filesystem::path& inner,
                            const std::filesystem::path& outer) {
        const auto rel = inner.lexically_relative(outer);
        return !rel.empty() && *rel.begin() != "..";
    };
    if (within(canonicalFolder, tree) || within(canonicalFolder, layout))
        throw Error("The output \"" + out + "\" lies inside the tree or its layout");
    struct stat st {};
    if (::stat(out.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            throw Error(cannotCreateMessage(out, EISDIR));
        if (!m_options.force)
            throw Error("The file \"" + out + "\" exists; use --force to replace it");
        m_outId = {st.st_dev, st.st_ino};
    }
}

void Builder::interruptPoint() const
{
    if (m_options.interrupted && m_options.interrupted())
        throw BuildInterrupted();
}

bool Builder::isOutput(const struct stat& st) const
{
    return m_outId && m_outId->first == st.st_dev && m_outId->second == st.st_ino;
}

std::string Builder::outputMessage(const std::string& full)
{
    return "The output is \"" + full + "\", a file the image is built from";
}

void Builder::refuseOutput(const struct stat& st, const std::string& full) const
{
    if (isOutput(st))
        throw Error(outputMessage(full));
}

// A file of the layout folder (fnt.bin, fat.bin, gaps/...), checked to be a regular file of
// `size` bytes.
UniqueFd Builder::openLayoutFile(const std::string& rel, std::uint64_t size)
{
    const auto full = [&] { return m_layoutPath + "/" + rel; };
    const std::size_t slash = rel.find('/');
    int dir = m_layoutFd.get();
    if (slash != std::string::npos) {
        // The folder (gaps/) is opened once and held: one open per file, not two. The layout's
        // check lets no other folder in, so the list stays one long.
        const std::string_view name = std::string_view(rel).substr(0, slash);
        auto held = std::find_if(m_layoutFolders.begin(), m_layoutFolders.end(),
                                 [&](const auto& f) { return f.first == name; });
        if (held == m_layoutFolders.end()) {
            UniqueFd folder(::openat(dir, std::string(name).c_str(),
                                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!folder.valid())
                throw Error(cannotOpenMessage(full(), errno));
            m_layoutFolders.emplace_back(std::string(name), std::move(folder));
            held = m_layoutFolders.end() - 1;
        }
        dir = held->second.get();
    }
    struct stat st {};
    UniqueFd fd =
        openInput(dir, rel.c_str() + (slash == std::string::npos ? 0 : slash + 1), st, full);
    if (static_cast<std::uint64_t>(st.st_size) != size)
        throw Error("The layout file \"" + full() + "\" is not the size the layout says");
    return fd;
}

void Builder::copyLayoutFile(const std::string& rel, std::uint64_t size, std::uint64_t offset,
                             Output& image)
{
    interruptPoint();
    const UniqueFd fd = openLayoutFile(rel, size);
    if (!copyInto(fd.get(), image.fd(), offset, size, image.path()))
        throw Error("The layout file \"" + m_layoutPath + "/" + rel +
                    "\" is not the size the layout says");
    ++m_files;
}

// The runs outside every region that lie inside the image being written.
void Builder::writeRuns(Output& image, std::uint64_t imageSize)
{
    for (const Run& r : m_layout.runs) {
        if (r.offset + r.size > imageSize)
            continue;
        if (!r.fill) {
            copyLayoutFile(r.file, r.size, r.offset, image);
            continue;
        }
        // The file starts as zeros: a zero fill is already there (and takes no room).
        if (*r.fill == 0)
            continue;
        interruptPoint();
        fillAt(image.fd(), *r.fill, r.offset, r.size, image.path());
    }
}

std::vector<std::uint8_t> Builder::readLayoutBytes(const Region& r, std::uint64_t limit)
{
    const std::string full = m_layoutPath + "/" + r.path;
    if (r.size > limit)
        throw Error("The layout file \"" + full + "\" is larger than the largest table");
    const UniqueFd fd(
        ::openat(m_layoutFd.get(), r.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
        throw Error(cannotOpenMessage(full, errno));
    if (!S_ISREG(st.st_mode))
        throw Error(notRegularMessage(full, st.st_mode));
    refuseOutput(st, full);
    if (static_cast<std::uint64_t>(st.st_size) != r.size)
        throw Error("The layout file \"" + full + "\" is not the size the layout says");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(r.size));
    DescriptorStream(fd.get(), r.size, "file \"" + full + "\"").readExact(0, bytes);
    ++m_files;
    return bytes;
}

} // namespace building

BuildResult buildImage(const std::string& tree, const std::string& out, const BuildOptions& options)
{
    std::string t = tree;
    // "DIR/NAME/" names the same folder; its layout is "DIR/NAME.layout".
    while (t.size() > 1 && t.back() == '/')
        t.pop_back();
    if (isFreshTree(t))
        return buildFreshTree(t, out, options);
    building::Builder builder(t, out, options);
    return builder.run(out);
}

} // namespace cartscope::core::rebuild
