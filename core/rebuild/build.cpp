#include "core/rebuild/build.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "core/base/fd.h"
#include "core/checksum/digest.h"
#include "core/fs/fnt.h"
#include "core/fs/system_files.h"
#include "core/io/open_below.h"
#include "core/io/staged_file.h"
#include "core/io/stream.h"
#include "core/io/whole_file.h"
#include "core/rebuild/edit_plan.h"
#include "core/rebuild/fresh_tree.h"
#include "core/rebuild/layout.h"
#include "core/rebuild/recompress.h"
#include "core/rebuild/rename_plan.h"
#include "core/verify/trim.h"

namespace cartscope::core::rebuild {

namespace {

constexpr std::size_t kChunk = 1 << 20;
// Tables and blocks read whole to be changed: the allocation table of 65,536 files, a banner.
constexpr std::uint64_t kMaxFatBytes = 65536 * 8;
constexpr std::uint64_t kMaxBannerBytes = 1 << 20;
constexpr std::uint64_t kMaxOverlayTableBytes = 65536 * 32;
constexpr std::uint64_t kMaxFntBytes = kNameTableReadAhead;

void writeAt(int fd, std::span<const std::uint8_t> bytes, std::uint64_t offset,
             const std::string& outPath)
{
    // Bounded by the bytes: every pass writes at least one or throws.
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Error(cannotWriteMessage(outPath, n < 0 ? errno : EIO));
        done += static_cast<std::size_t>(n);
    }
}

void fillAt(int fd, std::uint8_t value, std::uint64_t offset, std::uint64_t size,
            const std::string& outPath)
{
    const std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunk)), value);
    for (std::uint64_t done = 0; done < size;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, kChunk));
        writeAt(fd, std::span(buffer).first(want), offset + done, outPath);
        done += want;
    }
}

std::int64_t mtimeOf(const struct stat& st)
{
    return std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
}

// The image being written: staged beside OUT and named only once complete.
class Output {
public:
    Output(const std::string& path, bool force) : m_path(path), m_force(force), m_file(path, path)
    {}

    int fd() const { return m_file.fd(); }
    const std::string& path() const { return m_path; }

    void commit()
    {
        if (!m_file.publish(m_force))
            throw Error("The file \"" + m_path + "\" exists; use --force to replace it");
    }

private:
    std::string m_path;
    bool m_force;
    StagedFile m_file;
};

// Copies `size` bytes of `in` (from its start) to `out` at `offset`: in the kernel where it can
// (copy_file_range), else through a buffer. Returns false when `in` holds fewer bytes.
bool copyInto(int in, int out, std::uint64_t offset, std::uint64_t size, const std::string& outPath)
{
    loff_t inAt = 0;
    auto outAt = static_cast<loff_t>(offset);
    std::uint64_t left = size;
    // Bounded by the size: every pass copies at least one byte, ends or falls back.
    while (left > 0) {
        const ssize_t n =
            ::copy_file_range(in, &inAt, out, &outAt,
                              static_cast<std::size_t>(std::min<std::uint64_t>(left, 1u << 30)), 0);
        if (n > 0) {
            left -= static_cast<std::uint64_t>(n);
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
            errno != EBADF)
            throw Error(cannotWriteMessage(outPath, errno));
        break;
    }
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk)));
    while (left > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
        const ssize_t got = ::pread(in, buffer.data(), want, inAt);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw Error(kStreamReadError);
        if (got == 0)
            return false;
        for (ssize_t w = 0; w < got;) {
            const ssize_t n =
                ::pwrite(out, buffer.data() + w, static_cast<std::size_t>(got - w), outAt);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw Error(cannotWriteMessage(outPath, n < 0 ? errno : EIO));
            w += n;
            outAt += n;
        }
        inAt += got;
        left -= static_cast<std::uint64_t>(got);
    }
    return true;
}

class Builder {
public:
    Builder(const std::string& tree, const std::string& out, const BuildOptions& options)
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
        m_layout = decodeLayout(readLayoutText(), m_layoutPath + "/" + kLayoutFile);
        checkOutput(out);
    }

    BuildResult run(const std::string& out)
    {
        Output image(out, m_options.force);
        if (::ftruncate(image.fd(), static_cast<off_t>(m_layout.imageSize)) != 0)
            throw Error(cannotWriteMessage(out, errno));
        m_byPath.reserve(m_layout.regions.size());
        for (std::size_t i = 0; i < m_layout.regions.size(); ++i)
            if (!inLayoutFolder(m_layout.regions[i].kind))
                m_byPath.emplace(m_layout.regions[i].path, i);
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

private:
    std::string readLayoutText()
    {
        const std::string path = m_layoutPath + "/" + kLayoutFile;
        const UniqueFd fd(
            ::openat(m_layoutFd.get(), kLayoutFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
            throw Error(cannotOpenMessage(path, errno));
        if (!S_ISREG(st.st_mode))
            throw Error(notRegularMessage(path, st.st_mode));
        if (static_cast<std::uint64_t>(st.st_size) > kMaxLayoutBytes)
            throw Error("The layout \"" + path + "\" is larger than 128 MiB");
        std::string text(static_cast<std::size_t>(st.st_size), '\0');
        DescriptorStream in(fd.get(), text.size(), "file \"" + path + "\"");
        if (in.pread(0, std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size())) !=
            text.size())
            throw Error(kStreamReadError);
        return text;
    }

    // OUT is never one of the build's own files, nor placed in the tree or the layout (it would
    // contradict them at the next build).
    void checkOutput(const std::string& out)
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

    void interruptPoint() const
    {
        if (m_options.interrupted && m_options.interrupted())
            throw BuildInterrupted();
    }

    // The folders breadth first, each opened below the one before without following links; one
    // folder open at a time.
    void walkTree(Output& image)
    {
        std::deque<std::string> folders{""};
        std::size_t folderCount = 0;
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
                const std::string path = rel.empty() ? name : rel + "/" + name;
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

    std::vector<std::pair<std::string, unsigned char>> listFolder(int fd, const std::string& rel)
    {
        std::vector<std::pair<std::string, unsigned char>> entries;
        DIR* d = ::fdopendir(::dup(fd));
        if (!d)
            throw Error(cannotOpenMessage(shown(rel), errno));
        struct Closer {
            DIR* d;
            ~Closer() { ::closedir(d); }
        } closer{d};
        // Bounded by the folder's entries; the files overall by the count below.
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            unsigned char type = e->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st {};
                if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    throw Error(cannotOpenMessage(shown(rel, name), errno));
                type = S_ISDIR(st.st_mode)   ? DT_DIR
                       : S_ISREG(st.st_mode) ? DT_REG
                       : S_ISLNK(st.st_mode) ? DT_LNK
                                             : DT_UNKNOWN;
            }
            if (type == DT_LNK)
                throw Error("The tree holds a symbolic link: \"" + shown(rel, name) + "\"");
            if (type != DT_DIR && type != DT_REG)
                throw Error("The tree holds \"" + shown(rel, name) +
                            "\", which is not a regular file");
            // The tree's files and, in [system], the header, binaries, tables, banner and
            // overlays the layout lists beside them.
            if (type == DT_REG && ++m_treeFiles > kMaxTreeFiles + m_systemRegions)
                throw Error("The tree \"" + m_tree + "\" holds more than 65,536 files");
            entries.emplace_back(name, type);
        }
        return entries;
    }

    std::string shown(const std::string& rel, const std::string& name = {}) const
    {
        std::string s = m_tree;
        if (!rel.empty())
            s += "/" + rel;
        if (!name.empty())
            s += "/" + name;
        return s;
    }

    void takeFile(int dir, const std::string& name, const std::string& path, Output& image)
    {
        interruptPoint();
        const auto found = m_byPath.find(path);
        if (found == m_byPath.end()) {
            takeUnlisted(dir, name, path);
            return;
        }
        const Region& r = m_layout.regions[found->second];
        // The path as messages name it, made only when one is needed: this runs once per file.
        const auto full = [&] { return m_tree + "/" + path; };
        const UniqueFd fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
            throw Error(cannotOpenMessage(full(), errno));
        if (!S_ISREG(st.st_mode))
            throw Error(notRegularMessage(full(), st.st_mode));
        if (isOutput(st))
            throw Error(outputMessage(full()));
        const auto size = static_cast<std::uint64_t>(st.st_size);
        m_seen[found->second] = true;
        ++m_files;
        if (r.decompressed) {
            takeDecompressed(found->second, st, fd.get(), full(), image);
            return;
        }
        if (edited(r, st, fd.get(), full)) {
            m_newSize[found->second] = size;
            ++m_edited;
            return;
        }
        // Unchanged files keep their place unless everything is laid out again.
        if (!m_options.compact && !copyInto(fd.get(), image.fd(), r.offset, r.size, image.path()))
            throw Error("The file \"" + full() + "\" changed while the image was built");
    }

    // A file extract wrote decompressed: the image's own bytes while it is unchanged; an edited
    // one is packed again once the whole tree is seen (the ARM9 needs the header).
    void takeDecompressed(std::size_t i, const struct stat& st, int fd, const std::string& full,
                          Output& image)
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

    void copyOriginal(const Region& r, std::uint64_t offset, Output& image)
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

    // A region whose bytes are not its tree file's: made here (packed again, a table that
    // follows), or a decompressed file's original bytes. Returns whether it was one.
    bool writeInstead(std::size_t i, std::uint64_t offset, Output& image)
    {
        if (const auto made = m_made.find(i); made != m_made.end()) {
            writeAt(image.fd(), made->second, offset, image.path());
            return true;
        }
        if (!m_layout.regions[i].decompressed)
            return false;
        copyOriginal(m_layout.regions[i], offset, image); // unchanged, laid out again
        return true;
    }

    // The edited decompressed files packed again, and the overlay tables' entries for the
    // overlays among them.
    void repackEdited()
    {
        if (m_repack.empty())
            return;
        std::uint32_t arm9Ram = 0;
        for (std::size_t i = 0; i < m_layout.regions.size(); ++i) {
            const Region& r = m_layout.regions[i];
            if (r.kind == RegionKind::Header)
                arm9Ram = decodeHeader(RawHeader::fromBytes(readRegionFile(
                                           r, m_newSize[i].value_or(r.size), kRawHeaderSize)))
                              .ds.Arm9RamAddress;
        }
        struct Packed {
            std::uint32_t fileId;
            bool packed;
            std::uint64_t size;
        };
        std::vector<Packed> overlays;
        for (const std::size_t i : m_repack) {
            interruptPoint();
            const Region& r = m_layout.regions[i];
            const std::vector<std::uint8_t> data =
                readRegionFile(r, *m_newSize[i], maxRepackInput(r));
            Repacked p = repack(r, data, arm9Ram, m_options.vramSafe, m_tree + "/" + r.path);
            if (r.kind == RegionKind::Overlay)
                overlays.push_back({r.id, p.packed, p.bytes.size()});
            m_newSize[i] = p.bytes.size();
            m_made[i] = std::move(p.bytes);
        }
        for (std::size_t t = 0; t < m_layout.regions.size() && !overlays.empty(); ++t) {
            const Region& r = m_layout.regions[t];
            if (r.kind != RegionKind::Arm9OverlayTable && r.kind != RegionKind::Arm7OverlayTable)
                continue;
            std::vector<std::uint8_t> table =
                readRegionFile(r, m_newSize[t].value_or(r.size), kMaxOverlayTableBytes);
            bool changed = false;
            for (const Packed& o : overlays)
                changed |= setOverlayPacking(table, o.fileId, o.packed, o.size);
            if (!changed)
                continue;
            if (!m_newSize[t])
                ++m_edited;
            m_newSize[t] = table.size();
            m_made[t] = std::move(table);
        }
    }

    static bool inSystemFolder(const std::string& path)
    {
        const std::string_view system = kSystemFolder;
        return path.compare(0, system.size(), system) == 0 &&
               (path.size() == system.size() || path[system.size()] == '/');
    }

    // A file at a path the layout does not list: renamed or added (see rename_plan.h).
    void takeUnlisted(int dir, const std::string& name, const std::string& path)
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
    void planNames(Output& image, BuildResult& result)
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
        const std::vector<std::uint8_t> names =
            readLayoutBytes(m_layout.regions[*fnt], kMaxFntBytes);
        m_oldFat = readLayoutBytes(m_layout.regions[*fat], kMaxFatBytes);
        const TreeHasher hash = [&](const std::string& path) {
            const UniqueFd fd = openBelow(m_tree, path);
            return sha1OfFile(fd.get(), m_tree + "/" + path);
        };
        m_renames =
            planRenames(m_layout, names, m_oldFat, m_names, m_options.renumber, hash, m_tree);
        const RenamePlan& plan = *m_renames;
        m_layoutCount = m_layout.regions.size();
        m_byPath.clear(); // its keys point into regions that may move below
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

    bool removed(std::size_t i) const
    {
        return m_renames && i < m_layoutCount && m_renames->removed[i];
    }

    // The file ID a region has after the build.
    std::uint32_t idAfter(std::size_t i) const
    {
        if (!m_renames)
            return m_layout.regions[i].id;
        return i < m_layoutCount ? m_renames->ids[i] : m_renames->addedIds[i - m_layoutCount];
    }

    // Size first; then the digest where the layout has one (also for a copy that kept its time),
    // and the modification time unless the digests decide.
    template <typename Full>
    bool edited(const Region& r, const struct stat& st, int fd, const Full& full) const
    {
        if (static_cast<std::uint64_t>(st.st_size) != r.size)
            return true;
        if (!m_options.rehash && mtimeOf(st) != r.mtimeNs)
            return true;
        return r.sha1 && sha1OfFile(fd, full()) != *r.sha1;
    }

    std::vector<std::uint8_t> readRegionFile(const Region& r, std::uint64_t size,
                                             std::uint64_t limit)
    {
        const std::string full = m_tree + "/" + r.path;
        if (size > limit)
            throw Error("The file \"" + full + "\" is larger than " + std::to_string(limit) +
                        " bytes");
        const UniqueFd fd = openBelow(m_tree, r.path);
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
        DescriptorStream(fd.get(), size, "file \"" + full + "\"").readExact(0, bytes);
        return bytes;
    }

    std::vector<std::uint8_t> readLayoutBytes(const Region& r, std::uint64_t limit)
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

    // The fill of the image's gaps: the run that pads the image at its end, else 0xFF.
    std::uint8_t gapFill() const
    {
        if (!m_layout.runs.empty()) {
            const Run& last = m_layout.runs.back();
            if (last.fill && last.offset + last.size == m_layout.imageSize)
                return *last.fill;
        }
        return 0xFF;
    }

    // A tree with edits (or laid out again): the plan decides where each region goes; the gaps
    // are written first, the freed bytes over them, then the regions, then the tables.
    void writeEdited(Output& image, BuildResult& result)
    {
        std::vector<EditRegion> regions(m_layout.regions.size());
        std::optional<std::size_t> header, fat;
        for (std::size_t i = 0; i < regions.size(); ++i) {
            const Region& r = m_layout.regions[i];
            regions[i] = {r.kind, idAfter(i), r.offset, r.size, m_newSize[i]};
            if (r.kind == RegionKind::Header)
                header = i;
            if (r.kind == RegionKind::Fat)
                fat = i;
        }
        if (!header)
            throw Error("The layout of \"" + m_tree + "\" has no header");
        const Region& headerRegion = m_layout.regions[*header];
        const std::vector<std::uint8_t> headerIn = readRegionFile(
            headerRegion, m_newSize[*header].value_or(headerRegion.size), kRawHeaderSize);
        const HeaderRecord record = decodeHeader(RawHeader::fromBytes(headerIn));
        EditPlan plan =
            planEdits(regions, m_layout.imageSize, record.ds.TotalUsedRomSize, m_options.compact);
        const std::vector<std::uint8_t> original =
            m_newSize[*header] ? std::vector<std::uint8_t>{} : headerIn;
        std::vector<std::uint8_t> headerOut = followHeader(original, headerIn, regions, plan);
        // A Download Play signature stays right after the used size.
        const std::uint64_t oldUsed = trimUsedSize(record);
        const std::uint64_t newUsed = trimUsedSize(decodeHeader(RawHeader::fromBytes(headerOut)));
        const auto block = downloadPlayBlock(oldUsed);
        const bool blockMoves = block && moveDownloadPlayBlock(plan, oldUsed, newUsed);
        if (blockMoves) // the image may have grown past the capacity the header names
            headerOut = followHeader(original, headerIn, regions, plan);
        const std::uint8_t fill = gapFill();
        const int fd = image.fd();
        if (::ftruncate(fd, static_cast<off_t>(plan.imageSize)) != 0)
            throw Error(cannotWriteMessage(image.path(), errno));
        writeRuns(image, plan.imageSize);
        for (const ByteRange& f : plan.freed) {
            interruptPoint();
            fillAt(fd, fill, f.offset, f.size, image.path());
        }
        std::vector<ByteRange> changed = changedRanges(regions, plan);
        for (std::size_t i = 0; i < regions.size(); ++i) {
            const Region& r = m_layout.regions[i];
            const Placement& p = plan.placed[i];
            if (i == *header || (fat && i == *fat) || removed(i))
                continue;
            if (r.kind == RegionKind::Fnt && m_renames) {
                writeAt(fd, m_renames->nameTable, p.offset, image.path());
                continue;
            }
            if (inLayoutFolder(r.kind)) {
                copyLayoutFile(r.path, r.size, p.offset, image);
                continue;
            }
            if (!m_newSize[i] && !m_options.compact)
                continue; // written where it was during the walk
            interruptPoint();
            if (writeInstead(i, p.offset, image))
                continue;
            if (r.kind == RegionKind::Banner && m_newSize[i] && !m_options.keepBannerCrcs) {
                std::vector<std::uint8_t> banner = readRegionFile(r, p.size, kMaxBannerBytes);
                setBannerCrcs(banner);
                writeAt(fd, banner, p.offset, image.path());
                continue;
            }
            const UniqueFd in = openBelow(m_tree, r.path);
            if (!copyInto(in.get(), fd, p.offset, p.size, image.path()))
                throw Error("The file \"" + m_tree + "/" + r.path +
                            "\" changed while the image was built");
        }
        if (blockMoves) {
            writeAt(fd, *block, newUsed, image.path());
            changed.push_back({oldUsed, block->size()});
            changed.push_back({newUsed, block->size()});
        }
        if (fat && m_renames) {
            const std::vector<std::uint8_t> table =
                allocationAfter(m_oldFat, *m_renames,
                                std::span(m_layout.regions).first(m_layoutCount), regions, plan);
            changed.push_back({plan.placed[*fat].offset, table.size()});
            writeAt(fd, table, plan.placed[*fat].offset, image.path());
        } else if (fat) {
            std::vector<std::uint8_t> table = readLayoutBytes(m_layout.regions[*fat], kMaxFatBytes);
            if (followAllocation(table, regions, plan))
                changed.push_back({plan.placed[*fat].offset, table.size()});
            writeAt(fd, table, plan.placed[*fat].offset, image.path());
        }
        const std::vector<ByteRange> headerChanges = differences(original, headerOut, 0);
        changed.insert(changed.end(), headerChanges.begin(), headerChanges.end());
        writeAt(fd,
                std::span(headerOut).first(std::min<std::size_t>(headerOut.size(), plan.imageSize)),
                0, image.path());
        if (auto warning = signedRegionWarning(headerIn, m_layout.imageSize, changed))
            result.warnings.push_back(*warning);
        result.bytes = plan.imageSize;
    }

    bool isOutput(const struct stat& st) const
    {
        return m_outId && m_outId->first == st.st_dev && m_outId->second == st.st_ino;
    }

    static std::string outputMessage(const std::string& full)
    {
        return "The output is \"" + full + "\", a file the image is built from";
    }

    void refuseOutput(const struct stat& st, const std::string& full) const
    {
        if (isOutput(st))
            throw Error(outputMessage(full));
    }

    // A file of the layout folder (fnt.bin, fat.bin, gaps/...).
    // A file of the layout folder (fnt.bin, fat.bin, gaps/...), checked to be a regular file of
    // `size` bytes.
    UniqueFd openLayoutFile(const std::string& rel, std::uint64_t size)
    {
        const auto full = [&] { return m_layoutPath + "/" + rel; };
        const std::size_t slash = rel.find('/');
        int dir = m_layoutFd.get();
        if (slash != std::string::npos) {
            // The folder (gaps/) is opened once and held: one open per file, not two.
            const std::string name = rel.substr(0, slash);
            auto held = m_layoutFolders.find(name);
            if (held == m_layoutFolders.end()) {
                UniqueFd folder(
                    ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (!folder.valid())
                    throw Error(cannotOpenMessage(full(), errno));
                held = m_layoutFolders.emplace(name, std::move(folder)).first;
            }
            dir = held->second.get();
        }
        UniqueFd fd(::openat(dir, rel.c_str() + (slash == std::string::npos ? 0 : slash + 1),
                             O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
            throw Error(cannotOpenMessage(full(), errno));
        if (!S_ISREG(st.st_mode))
            throw Error(notRegularMessage(full(), st.st_mode));
        if (isOutput(st))
            throw Error(outputMessage(full()));
        if (static_cast<std::uint64_t>(st.st_size) != size)
            throw Error("The layout file \"" + full() + "\" is not the size the layout says");
        return fd;
    }

    void copyLayoutFile(const std::string& rel, std::uint64_t size, std::uint64_t offset,
                        Output& image)
    {
        interruptPoint();
        const UniqueFd fd = openLayoutFile(rel, size);
        if (!copyInto(fd.get(), image.fd(), offset, size, image.path()))
            throw Error("The layout file \"" + m_layoutPath + "/" + rel +
                        "\" is not the size the layout says");
        ++m_files;
    }

    // The image's bytes at [offset, offset + size) when the runs outside the regions hold them
    // all; nothing when a region holds any of them.
    std::optional<std::vector<std::uint8_t>> runBytes(std::uint64_t offset, std::uint64_t size)
    {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
        std::uint64_t at = offset;
        const std::uint64_t end = offset + size;
        // Bounded by the runs, which are in order and apart (the layout's check).
        for (const Run& r : m_layout.runs) {
            if (at == end)
                break;
            if (r.offset + r.size <= at)
                continue;
            if (r.offset > at)
                return std::nullopt;
            const std::uint64_t take = std::min(end, r.offset + r.size) - at;
            const auto into = std::span(bytes).subspan(static_cast<std::size_t>(at - offset),
                                                       static_cast<std::size_t>(take));
            if (r.fill) {
                std::fill(into.begin(), into.end(), *r.fill);
            } else {
                const UniqueFd fd = openLayoutFile(r.file, r.size);
                DescriptorStream(fd.get(), r.size, "file \"" + m_layoutPath + "/" + r.file + "\"")
                    .readExact(at - r.offset, into);
            }
            at += take;
        }
        if (at != end)
            return std::nullopt;
        return bytes;
    }

    // The Download Play signature block right after the old used size, when the gaps hold one.
    std::optional<std::vector<std::uint8_t>> downloadPlayBlock(std::uint64_t used)
    {
        if (used > m_layout.imageSize || kDownloadPlayBlockSize > m_layout.imageSize - used)
            return std::nullopt;
        auto block = runBytes(used, kDownloadPlayBlockSize);
        if (!block || !opensDownloadPlayBlock(*block))
            return std::nullopt;
        return block;
    }

    // The runs outside every region that lie inside the image being written.
    void writeRuns(Output& image, std::uint64_t imageSize)
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

    std::string m_tree;
    std::string m_layoutPath;
    const BuildOptions& m_options;
    UniqueFd m_treeFd;
    UniqueFd m_layoutFd;
    std::unordered_map<std::string, UniqueFd> m_layoutFolders; // the layout's subfolders, held
    Layout m_layout;
    std::optional<std::pair<dev_t, ino_t>> m_outId;
    std::unordered_map<std::string_view, std::size_t> m_byPath;
    std::vector<bool> m_seen;
    std::vector<std::optional<std::uint64_t>> m_newSize; // the edited files' sizes
    std::vector<std::size_t> m_repack; // edited files that extract wrote decompressed
    // Bytes made for a region instead of its tree file's: packed again, or a table that follows.
    std::unordered_map<std::size_t, std::vector<std::uint8_t>> m_made;
    std::size_t m_edited = 0;
    std::size_t m_files = 0;
    std::size_t m_treeFiles = 0;
    std::size_t m_systemRegions = 0;
    TreeNames m_names;                   // what the walk found that the layout does not list
    std::optional<RenamePlan> m_renames; // set when the names changed
    std::size_t m_layoutCount = 0;       // the layout's regions; added files follow them
    std::vector<std::uint8_t> m_oldFat;
};

} // namespace

BuildResult buildImage(const std::string& tree, const std::string& out, const BuildOptions& options)
{
    std::string t = tree;
    // "DIR/NAME/" names the same folder; its layout is "DIR/NAME.layout".
    while (t.size() > 1 && t.back() == '/')
        t.pop_back();
    if (isFreshTree(t))
        return buildFreshTree(t, out, options);
    Builder builder(t, out, options);
    return builder.run(out);
}

} // namespace cartscope::core::rebuild
