// The walk over the tree: each file found in the layout by its path, checked, and copied to its
// place while unchanged; edited, renamed and added files noted for later.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
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
#include "core/rebuild/recompress.h"
#include "core/verify/trim.h"

namespace cartscope::core::rebuild::building {

// The folders breadth first, each opened below the one before without following links; one
// folder open at a time.
void Builder::walkTree(Output& image)
{
    std::deque<std::string> folders{""};
    std::size_t folderCount = 0;
    std::string path; // one buffer for every file's path: no allocation per file
    // Bounded: each folder is queued once by its parent's listing, and at most 4,095 are.
    while (!folders.empty()) {
        const std::string rel = std::move(folders.front());
        folders.pop_front();
        UniqueFd dir(rel.empty() ? ::dup(m_treeFd.get())
                                 : ::openat(m_treeFd.get(), rel.c_str(),
                                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir.valid())
            throw Error(cannotOpenMessage(shown(rel), errno));
        for (const auto& [name, type] : listFolder(dir.get(), rel)) {
            path.assign(rel);
            if (!rel.empty())
                path += '/';
            path += name;
            if (type == DT_DIR) {
                if (++folderCount > kMaxTreeFolders + 1)
                    throw Error("The tree \"" + m_tree + "\" holds more than 4,095 folders");
                if (!inSystemFolder(path))
                    m_names.folders.push_back(path);
                folders.push_back(path);
            } else {
                takeFile(dir.get(), name, path, image);
            }
        }
    }
}

std::vector<std::pair<std::string, unsigned char>> Builder::listFolder(int fd,
                                                                       const std::string& rel)
{
    std::vector<std::pair<std::string, unsigned char>> entries;
    std::vector<FolderEntry> listed;
    if (!folderEntries(fd, listed))
        throw Error(cannotOpenMessage(shown(rel), errno));
    // Bounded by the folder's entries; the files overall by the count below.
    for (FolderEntry& e : listed) {
        std::string& name = e.name;
        unsigned char type = e.type;
        if (type == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                throw Error(cannotOpenMessage(shown(rel, name), errno));
            type = S_ISDIR(st.st_mode)   ? DT_DIR
                   : S_ISREG(st.st_mode) ? DT_REG
                   : S_ISLNK(st.st_mode) ? DT_LNK
                                         : DT_UNKNOWN;
        }
        if (type == DT_LNK)
            throw Error("The tree holds a symbolic link: \"" + shown(rel, name) + "\"");
        if (type != DT_DIR && type != DT_REG)
            throw Error("The tree holds \"" + shown(rel, name) + "\", which is not a regular file");
        // The tree's files and, in [system], the header, binaries, tables, banner and
        // overlays the layout lists beside them.
        if (type == DT_REG && ++m_treeFiles > kMaxTreeFiles + m_systemRegions)
            throw Error("The tree \"" + m_tree + "\" holds more than 65,536 files");
        entries.emplace_back(std::move(name), type);
    }
    return entries;
}

std::string Builder::shown(const std::string& rel, const std::string& name) const
{
    std::string s = m_tree;
    if (!rel.empty())
        s += "/" + rel;
    if (!name.empty())
        s += "/" + name;
    return s;
}

void Builder::takeFile(int dir, const std::string& name, const std::string& path, Output& image)
{
    interruptPoint();
    const std::optional<std::uint32_t> found = m_byPath.find(path);
    if (!found) {
        takeUnlisted(dir, name, path);
        return;
    }
    const Region& r = m_layout.regions[*found];
    // The path as messages name it, made only when one is needed: this runs once per file.
    const auto full = [&] { return m_tree + "/" + path; };
    struct stat st {};
    const UniqueFd fd = openInput(dir, name.c_str(), st, full);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    m_seen[*found] = true;
    ++m_files;
    if (r.decompressed) {
        takeDecompressed(*found, st, fd.get(), full(), image);
        return;
    }
    if (edited(r, st, fd.get(), full)) {
        m_newSize[*found] = size;
        ++m_edited;
        return;
    }
    // Unchanged files keep their place unless everything is laid out again.
    if (!m_options.compact && !copyInto(fd.get(), image.fd(), r.offset, r.size, image.path()))
        throw Error("The file \"" + full() + "\" changed while the image was built");
}

// Size first; then the digest where the layout has one (also for a copy that kept its time),
// and the modification time unless the digests decide.
template <typename Full>
bool Builder::edited(const Region& r, const struct stat& st, int fd, const Full& full) const
{
    if (static_cast<std::uint64_t>(st.st_size) != r.size)
        return true;
    if (!m_options.rehash && mtimeOf(st) != r.mtimeNs)
        return true;
    return r.sha1 && sha1OfFile(fd, full()) != *r.sha1;
}

// A file extract wrote decompressed: the image's own bytes while it is unchanged; an edited
// one is packed again once the whole tree is seen (the ARM9 needs the header).
void Builder::takeDecompressed(std::size_t i, const struct stat& st, int fd,
                               const std::string& full, Output& image)
{
    const Region& r = m_layout.regions[i];
    if (decompressedEdited(r, st, fd, full, m_options.rehash)) {
        m_newSize[i] = static_cast<std::uint64_t>(st.st_size); // until packed
        m_repack.push_back(i);
        ++m_edited;
        return;
    }
    if (!m_options.compact)
        copyOriginal(r, r.offset, image);
}

void Builder::copyOriginal(const Region& r, std::uint64_t offset, Output& image)
{
    interruptPoint();
    const std::string rel = originalFile(r.path);
    const std::string full = m_layoutPath + "/" + rel;
    const UniqueFd fd = openBelow(m_layoutPath, rel);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throw Error(cannotOpenMessage(full, errno));
    if (!S_ISREG(st.st_mode))
        throw Error(notRegularMessage(full, st.st_mode));
    refuseOutput(st, full);
    if (static_cast<std::uint64_t>(st.st_size) != r.size ||
        !copyInto(fd.get(), image.fd(), offset, r.size, image.path()))
        throw Error("The layout file \"" + full + "\" is not the size the layout says");
    ++m_files;
}

bool Builder::inSystemFolder(const std::string& path)
{
    const std::string_view system = kSystemFolder;
    return path.compare(0, system.size(), system) == 0 &&
           (path.size() == system.size() || path[system.size()] == '/');
}

// A file at a path the layout does not list: renamed or added (see rename_plan.h).
void Builder::takeUnlisted(int dir, const std::string& name, const std::string& path)
{
    const std::string full = m_tree + "/" + path;
    if (inSystemFolder(path))
        throw Error("The file \"" + full + "\" is not one of the image's system files");
    if (name.size() > kMaxNameBytes)
        throw Error("The name of \"" + full + "\" is longer than 127 bytes");
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        throw Error(cannotOpenMessage(full, errno));
    if (!S_ISREG(st.st_mode))
        throw Error(notRegularMessage(full, st.st_mode));
    refuseOutput(st, full);
    m_names.unlisted.push_back({path, static_cast<std::uint64_t>(st.st_size), mtimeOf(st)});
    ++m_files;
}

// The tree's names differ from the layout's: which files were renamed, added and removed,
// and the IDs they take. Renamed files are copied into their place here, as unchanged ones
// were during the walk.
void Builder::planNames(Output& image, BuildResult& result)
{
    std::optional<std::size_t> fnt, fat;
    for (std::size_t i = 0; i < m_layout.regions.size(); ++i) {
        if (m_layout.regions[i].kind == RegionKind::Fnt)
            fnt = i;
        if (m_layout.regions[i].kind == RegionKind::Fat)
            fat = i;
    }
    if (!fnt || !fat)
        throw Error("The layout of \"" + m_tree + "\" has no name or allocation table");
    const std::vector<std::uint8_t> names = readLayoutBytes(m_layout.regions[*fnt], kMaxFntBytes);
    m_oldFat = readLayoutBytes(m_layout.regions[*fat], kMaxFatBytes);
    const TreeHasher hash = [&](const std::string& path) {
        const UniqueFd fd = openBelow(m_tree, path);
        return sha1OfFile(fd.get(), m_tree + "/" + path);
    };
    m_renames = planRenames(m_layout, names, m_oldFat, m_names, m_options.renumber, hash, m_tree);
    const RenamePlan& plan = *m_renames;
    m_layoutCount = m_layout.regions.size();
    m_byPath = PathIndex(); // its keys point into regions that may move below
    for (std::size_t r : plan.renamed) {
        Region& region = m_layout.regions[r];
        region.path = plan.paths[r];
        if (m_options.compact)
            continue;
        interruptPoint();
        const UniqueFd in = openBelow(m_tree, region.path);
        if (!copyInto(in.get(), image.fd(), region.offset, region.size, image.path()))
            throw Error("The file \"" + m_tree + "/" + region.path +
                        "\" changed while the image was built");
    }
    for (std::size_t i = 0; i < m_layoutCount; ++i)
        if (plan.removed[i])
            m_newSize[i] = 0;
    for (std::size_t j = 0; j < plan.added.size(); ++j) {
        Region r;
        r.kind = RegionKind::File;
        r.id = plan.addedIds[j];
        r.path = plan.added[j].path;
        m_layout.regions.push_back(std::move(r));
        m_newSize.push_back(plan.added[j].size);
    }
    m_newSize[*fnt] = plan.nameTable.size();
    m_newSize[*fat] = std::uint64_t{plan.allocationEntries} * 8;
    result.renamed = plan.renamed.size();
    result.added = plan.added.size();
    result.removed =
        static_cast<std::size_t>(std::count(plan.removed.begin(), plan.removed.end(), true));
    result.renumbered = plan.changes;
}

bool Builder::removed(std::size_t i) const
{
    return m_renames && i < m_layoutCount && m_renames->removed[i];
}

// The file ID a region has after the build.
std::uint32_t Builder::idAfter(std::size_t i) const
{
    if (!m_renames)
        return m_layout.regions[i].id;
    return i < m_layoutCount ? m_renames->ids[i] : m_renames->addedIds[i - m_layoutCount];
}

} // namespace cartscope::core::rebuild::building
