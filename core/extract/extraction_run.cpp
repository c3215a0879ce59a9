// One extraction run: the folders it walks and keeps open, the identity of everything it writes
// (against destinations that fold letter case), and the copy itself.
//
// Copying: from a FileStream the bytes go through copy_file_range (no user-space copy; a reflink
// where the file system can), falling back to a pread/write loop with one 1 MiB buffer for the
// rest of the run when the kernel refuses the pair of files (EXDEV between two file systems).
// The 1 MiB buffer is a throughput choice only: the bytes written are those of a copy through
// any smaller buffer. A row's size is never allocated.
//
// Writing: each file is written unnamed (O_TMPFILE) in its folder and linked under its name once
// complete; where the file system has no unnamed files (FAT, many FUSE drivers) it is written
// under a hidden name and renamed. A run killed mid-file (SIGKILL, the OOM killer) so leaves no
// file cut short under a name from the image: at most a hidden ".cartscope-*.part" where there
// are no unnamed files. Files are not synced one by one (that would cost more than the copy).
//
// Cost per file: one open, the copy and the link. A file this run names is new, so its identity
// is asked only once some name turns out to exist already (then for every file made so far, by
// path); the folders, the image's identity and the choice between kernel and buffered copy are
// answered once per run.
#include "core/extract/extraction_run.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <span>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/base/paths.h"
#include "core/io/whole_file.h"

namespace cartscope::core::detail {

bool isSafeComponent(std::string_view c)
{
    return !c.empty() && c != "." && c != ".." && c.find('/') == std::string_view::npos &&
           c.find('\0') == std::string_view::npos;
}

std::vector<std::string> splitPath(const std::string& s)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const auto slash = s.find('/', start);
        parts.push_back(s.substr(start, slash == std::string::npos ? slash : slash - start));
        if (slash == std::string::npos)
            return parts;
        start = slash + 1;
    }
}

std::string joinPath(const std::vector<std::string>& parts, std::size_t count)
{
    std::string out;
    for (std::size_t k = 0; k < count; ++k) {
        if (k)
            out.push_back('/');
        out += parts[k];
    }
    return out;
}

// "name.bin" -> "name (2).bin"; a name without "." (or only a leading one) gets the suffix at
// its end. The result of a clean name is clean: the suffix adds no "/" and cannot make "."/"..".
std::string withSuffix(const std::string& name, std::uint64_t k)
{
    const std::string suffix = " (" + std::to_string(k) + ")";
    const auto dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0)
        return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

namespace {

constexpr std::size_t kCopyBufferSize = std::size_t{1} << 20;
constexpr std::size_t kCopyChunk = std::size_t{1} << 30; // per copy_file_range call

struct Identity {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const Identity&) const = default;
};
struct IdentityHash {
    std::size_t operator()(const Identity& i) const
    {
        return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(i.ino) * 31 +
                                          static_cast<std::uint64_t>(i.dev));
    }
};
Identity identityOf(const struct stat& st)
{
    return {st.st_dev, st.st_ino};
}

// Folder paths look up the open folders without being copied into a key.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
};

Error writeFailure(const std::string& full, int err)
{
    return Error("Cannot write file \"" + full + "\". " + std::strerror(err));
}

} // namespace

// The state of one extraction run: the folders it keeps open, and the identity of every file and
// folder it has written, against which a destination that folds letter case is caught.
//
// Folders stay open between files (a bounded number of them): a whole-tree run writes folder by
// folder, and walking the chain again for each file would cost more system calls than the copy.
// A folder is reached from the longest open prefix of its path; each row still creates the
// folders it walks. A cached folder that was removed meanwhile is noticed by the failed create
// (ENOENT), which then retries once with a fresh walk.
class ExtractionRun::Impl {
public:
    Impl(const Stream& image, const DirectoryOps& ops) : m_image(image), m_ops(ops)
    {
        // The open image is never a destination; its identity is asked once per run.
        if (const auto native = image.nativeFile()) {
            struct stat st {};
            if (ops.statFd(native->fd, &st) == 0)
                m_imageId = identityOf(st);
        }
    }

    bool baseGone() const { return m_baseGone; }

    Written extract(const PlannedFile& file)
    {
        // A row whose path had to be cut for length is never written under the cut name.
        if (file.row.pathTooLong)
            throw Error("Cannot extract \"" + file.row.path + "\": path too long");
        const std::string& full = file.full;
        const std::string& relative = file.relative;
        if (relative.size() >= full.size() ||
            full.compare(full.size() - relative.size(), std::string::npos, relative) != 0)
            throw Error(cannotCreateMessage(full, EINVAL));
        // Pieces of the planned paths, never copied: the base folder, the folder below it, and
        // the name (the end of `relative`, so it ends in a NUL).
        const std::string_view base =
            std::string_view(full).substr(0, full.size() - relative.size());
        const std::size_t slash = relative.rfind('/');
        if (slash == std::string::npos)
            throw Error(cannotCreateMessage(full, EINVAL));
        const std::string_view folderKey = std::string_view(relative).substr(0, slash);
        const char* const name = relative.c_str() + slash + 1;
        if (!isSafeComponent(std::string_view(relative).substr(slash + 1)))
            throw Error(cannotCreateMessage(full, EINVAL));
        if (!rangeInsideImage(file, m_image.size()))
            throw Error(kStreamReadError);
        const std::uint64_t length = file.size > 0 ? static_cast<std::uint64_t>(file.size) : 0;

        for (int attempt = 0;; ++attempt) {
            bool cached = false;
            try {
                const Folder& folder = openFolder(base, folderKey, full, cached);
                return writeFile(folder, base, folderKey, name, full, file.offset, length);
            } catch (const GoneError& gone) {
                // A folder that this run opened earlier was removed meanwhile: walk again.
                forgetFolders();
                if (!cached || attempt > 0)
                    throw Error(cannotCreateMessage(full, gone.err));
            }
        }
    }

private:
    struct Folder {
        UniqueFd fd;
        std::string actual; // relative path written, after any renaming
    };
    struct GoneError {
        int err;
    };
    // How many folders stay open: half of what the process may hold (the rest is left to the
    // program around the run), at least 16 and at most 4096 (no image has more folders). With
    // the usual limit of 1024 that is 512: a run in size or name order, which visits the
    // folders in no order, still finds each one open.
    static std::size_t openFolderBudget()
    {
        struct rlimit limit {};
        const std::uint64_t soft =
            ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                ? limit.rlim_cur
                : 1024;
        return static_cast<std::size_t>(std::clamp<std::uint64_t>(soft / 2, 16, 4096));
    }
    const std::size_t m_maxOpenFolders = openFolderBudget();

    void forgetFolders()
    {
        m_open.clear();
        m_listings.clear();
        m_base = UniqueFd();
        m_baseName.clear();
    }

    // Stops a walk: ENOENT means the folder the walk stands in has gone.
    [[noreturn]] static void fail(const std::string& full, int err)
    {
        if (err == ENOENT)
            throw GoneError{err};
        throw Error(cannotCreateMessage(full, err));
    }

    const Folder& openFolder(std::string_view base, std::string_view folderKey,
                             const std::string& full, bool& cached)
    {
        if (!m_base.valid() || m_baseName != base) {
            forgetFolders();
            m_baseName = base;
            // The base is followed through links: the user chose it.
            m_base = UniqueFd(::open(m_baseName.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!m_base.valid()) {
                const int err = errno;
                m_baseName.clear();
                m_baseGone = err == ENOENT || err == ENOTDIR;
                throw Error(cannotCreateMessage(full, err));
            }
        }
        // Most files go to a folder that is open already.
        if (const auto open = m_open.find(folderKey); open != m_open.end()) {
            cached = true;
            return open->second;
        }
        const std::vector<std::string> parts = splitPath(std::string(folderKey));
        const std::string key(folderKey);
        std::size_t have = parts.size();
        std::string prefix = key;
        // Bounded by the depth of the path.
        while (have > 0 && !m_open.count(prefix)) {
            --have;
            prefix = joinPath(parts, have);
        }
        cached = have > 0;
        if (have == parts.size())
            return m_open.at(key);
        if (m_open.size() >= m_maxOpenFolders) {
            // Keep the base; this walk starts there.
            m_open.clear();
            have = 0;
            prefix.clear();
            cached = false;
        }
        int parent = have > 0 ? m_open.at(prefix).fd.get() : m_base.get();
        std::string actual = have > 0 ? m_open.at(prefix).actual : std::string();
        // The folders on the way are kept while there is room; past it the walk holds one
        // descriptor at a time, so a path thousands of folders deep never runs out of them.
        UniqueFd walking;
        for (std::size_t k = have; k < parts.size(); ++k) {
            if (!isSafeComponent(parts[k]))
                throw Error(cannotCreateMessage(full, EINVAL));
            const std::string planned = joinPath(parts, k + 1);
            Folder next = enterFolder(parent, actual, parts[k], planned, full);
            next.actual = actual.empty() ? next.actual : actual + "/" + next.actual;
            actual = next.actual;
            if (k + 1 == parts.size() || m_open.size() + 1 < m_maxOpenFolders) {
                auto [it, inserted] = m_open.insert_or_assign(planned, std::move(next));
                parent = it->second.fd.get();
            } else {
                walking = std::move(next.fd);
                parent = walking.get();
            }
        }
        return m_open.at(key);
    }

    // One folder below parent: created when missing, opened without following a link. A folder
    // that is one this run already wrote under another planned path (the destination folds letter
    // case) is left as it is and the row's folder goes under a suffixed name.
    Folder enterFolder(int parent, const std::string& parentKey, const std::string& name,
                       const std::string& planned, const std::string& full)
    {
        // Every suffix tried collides with a file or folder written in this run.
        const std::size_t bound = m_folders.size() + m_files.size() + m_unasked.size() + 2;
        for (std::size_t k = 1; k <= bound; ++k) {
            const std::string candidate = k == 1 ? name : withSuffix(name, k);
            const int made = m_ops.mkdirAt(parent, candidate.c_str(), 0777);
            const int mkdirError = made != 0 && errno != EEXIST ? errno : 0;
            UniqueFd fd(m_ops.openAt(parent, candidate.c_str(),
                                     O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
            if (!fd.valid()) {
                const int openError = errno;
                if ((openError == ENOTDIR || openError == ELOOP) &&
                    (writtenFileAt(parent, candidate) ||
                     foldedOntoOurs(parent, parentKey, candidate)))
                    continue;
                // The folder's own failure says more than the open's ("Read-only file system"
                // or "Permission denied" rather than "No such file or directory").
                fail(full, mkdirError ? mkdirError : openError);
            }
            struct stat st {};
            if (m_ops.statFd(fd.get(), &st) != 0)
                fail(full, errno);
            if (!S_ISDIR(st.st_mode))
                fail(full, ENOTDIR);
            // A folder made just now is new whatever its inode number (a removed folder's may
            // come back); only one that was there already can be one this run wrote.
            if (made == 0) {
                m_folders.insert_or_assign(identityOf(st), planned);
                noteMade(parentKey, candidate);
            } else {
                const auto [it, inserted] = m_folders.emplace(identityOf(st), planned);
                if (!inserted && it->second != planned)
                    continue;
                if (foldedOntoOurs(parent, parentKey, candidate))
                    continue;
                noteMade(parentKey, candidate);
            }
            return Folder{std::move(fd), candidate};
        }
        throw Error(cannotCreateMessage(full, EEXIST));
    }

    // Names this run made or wrote into, by the folder (its relative path as written) that holds
    // them, and the names a folder held when first listed, kept up to date with those made
    // since. Logged in one piece of text ("folder/name", NUL-ended) until the fallback below
    // first needs them (most runs never do), then indexed once. Returns the entry's index.
    std::size_t noteMade(std::string_view folderKey, std::string_view name)
    {
        if (m_madeIndexed) {
            m_madeNames[std::string(folderKey)].insert(std::string(name));
            const auto listing = m_listings.find(folderKey);
            if (listing != m_listings.end())
                listing->second.insert(std::string(name));
        }
        m_made.push_back({m_madeText.size(), folderKey.size(), name.size()});
        m_madeText += folderKey;
        if (!folderKey.empty())
            m_madeText += '/';
        m_madeText += name;
        m_madeText += '\0';
        return m_made.size() - 1;
    }

    // The path of a logged entry below its base, NUL-ended.
    const char* madePath(std::size_t index) const { return m_madeText.c_str() + m_made[index].at; }

    void indexMadeNames()
    {
        if (m_madeIndexed)
            return;
        for (const Made& m : m_made) {
            const std::string_view text(m_madeText.c_str() + m.at,
                                        m.folderLength + (m.folderLength ? 1 : 0) + m.nameLength);
            m_madeNames[std::string(text.substr(0, m.folderLength))].insert(
                std::string(text.substr(text.size() - m.nameLength)));
        }
        m_madeIndexed = true;
    }

    // The fallback where identity cannot tell: FUSE drivers of FAT and exFAT give every spelling
    // of a name an inode of its own. Asked only for a name that turned out to exist already and
    // that identity did not show as one of this run's: when the folder holds no entry of exactly
    // that name, the file system has matched it to another spelling, and when this run made an
    // entry of that spelling (letter case aside), the two would meet.
    bool foldedOntoOurs(int dir, const std::string& folderKey, const std::string& name)
    {
        indexMadeNames();
        const auto made = m_madeNames.find(std::string_view(folderKey));
        if (made == m_madeNames.end())
            return false;
        auto listing = m_listings.find(std::string_view(folderKey));
        if (listing == m_listings.end()) {
            std::vector<std::string> names;
            if (!m_ops.listNames(dir, names))
                return false;
            listing =
                m_listings
                    .emplace(folderKey, std::unordered_set<std::string>(names.begin(), names.end()))
                    .first;
        }
        if (listing->second.count(name))
            return false;
        // Bounded by the names this run made in the folder.
        for (const std::string& m : made->second) {
            if (equalsIgnoreCase(m, name))
                return true;
        }
        return false;
    }

    // The identities of the files created since the last time one was needed, by their paths.
    // A file removed since (a close that failed, another program) has none to learn.
    void learnCreatedIdentities()
    {
        // Entries come grouped by base (a new base starts a new group): each base folder is
        // reached once, through the run's own descriptor when it is the current one.
        UniqueFd other;
        int base = -1;
        std::size_t baseIndex = m_unaskedBases.size();
        for (const Unasked& u : m_unasked) {
            if (u.base != baseIndex) {
                baseIndex = u.base;
                const std::string& baseName = m_unaskedBases[baseIndex];
                other = UniqueFd();
                base = m_base.get();
                if (!m_base.valid() || m_baseName != baseName) {
                    other = UniqueFd(::open(baseName.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
                    base = other.get();
                }
            }
            struct stat st {};
            if (base >= 0 && m_ops.statAt(base, madePath(u.made), &st, AT_SYMLINK_NOFOLLOW) == 0)
                m_files.insert(identityOf(st));
        }
        m_unasked.clear();
        m_unaskedBases.clear();
    }

    bool writtenFileAt(int dir, const std::string& name)
    {
        learnCreatedIdentities();
        struct stat st {};
        return m_ops.statAt(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               m_files.count(identityOf(st));
    }

    bool writtenFolderAt(int dir, const std::string& name) const
    {
        struct stat st {};
        return m_ops.statAt(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               m_folders.count(identityOf(st));
    }

    // The file being written: unnamed (O_TMPFILE) or, where the file system has none, under a
    // hidden name in its folder. It gets its real name only once complete, so a run that is
    // killed (SIGKILL, the OOM killer) leaves no file cut short under a name from the image.
    struct Pending {
        UniqueFd fd;
        std::string hidden; // empty for an unnamed file
    };

    // Whether the folder open as dir was removed (a failure inside it then means that, whatever
    // errno the file system chose).
    bool folderGone(int dir) const
    {
        struct stat st {};
        return m_ops.statFd(dir, &st) == 0 && st.st_nlink == 0;
    }

    [[noreturn]] void failIn(int dir, const std::string& full, int err) const
    {
        if (err == ENOENT || folderGone(dir))
            throw GoneError{ENOENT};
        throw Error(cannotCreateMessage(full, err));
    }

    Pending openPending(int dir, const std::string& full)
    {
        if (m_unnamed) {
            UniqueFd fd(m_ops.openUnnamed(dir));
            if (fd.valid())
                return {std::move(fd), {}};
            const int err = errno;
            if (!unnamedFilesUnsupported(err))
                failIn(dir, full, err);
            m_unnamed = false; // for the rest of the run
        }
        // Each attempt draws a new name; only a folder full of such names exhausts them.
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string hidden = hiddenTemporaryName();
            UniqueFd fd(m_ops.openAt(dir, hidden.c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
            if (fd.valid())
                return {std::move(fd), std::move(hidden)};
            if (errno != EEXIST)
                failIn(dir, full, errno);
        }
        throw Error(cannotCreateMessage(full, EEXIST));
    }

    // Gives the pending file the hidden name it is renamed from (an unnamed file replacing an
    // existing entry needs one).
    void nameHidden(Pending& p, int dir, const std::string& full)
    {
        if (!p.hidden.empty())
            return;
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string hidden = hiddenTemporaryName();
            if (m_ops.linkUnnamed(p.fd.get(), dir, hidden.c_str()) == 0) {
                p.hidden = std::move(hidden);
                return;
            }
            if (errno != EEXIST)
                failIn(dir, full, errno);
        }
        throw Error(cannotCreateMessage(full, EEXIST));
    }

    void discard(Pending& p, int dir)
    {
        p.fd = UniqueFd();
        if (!p.hidden.empty())
            m_ops.unlinkAt(dir, p.hidden.c_str(), 0);
        p.hidden.clear();
    }

    // Gives the complete file the name `name` in dir. A free name is taken as it is. An existing
    // entry is replaced in one step (rename), so a symbolic link there is replaced, never
    // followed, and a file with other links keeps its bytes under those. Returns false, leaving
    // the entry alone, when it is a file or folder this run wrote (reached again through a name
    // that differs only in letter case): the caller tries the next suffix. The open image (the
    // same inode, through any path) is refused as busy.
    bool place(Pending& p, int dir, const std::string& folderKey, const char* name,
               const std::string& full)
    {
        // Each retry follows an entry that went meanwhile; a fourth is never needed unless the
        // folder keeps changing under the run.
        for (int attempt = 0; attempt < 4; ++attempt) {
            struct stat st {};
            if (p.hidden.empty()) {
                if (m_ops.linkUnnamed(p.fd.get(), dir, name) == 0) {
                    noteCreated(folderKey, name);
                    return true;
                }
                if (errno != EEXIST)
                    failIn(dir, full, errno);
            }
            if (m_ops.statAt(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT)
                    throw Error(cannotCreateMessage(full, errno));
                if (!p.hidden.empty()) {
                    // Free: the hidden file takes the name.
                    if (m_ops.renameAt(dir, p.hidden.c_str(), name) != 0)
                        failIn(dir, full, errno);
                    p.hidden.clear();
                    noteCreated(folderKey, name);
                    return true;
                }
                continue; // removed since the link was refused
            }
            if (S_ISDIR(st.st_mode)) {
                if (writtenFolderAt(dir, name) || foldedOntoOurs(dir, folderKey, name))
                    return false;
                throw Error(cannotCreateMessage(full, EISDIR));
            }
            if (!S_ISLNK(st.st_mode)) {
                const Identity id = identityOf(st);
                learnCreatedIdentities();
                if (!S_ISREG(st.st_mode))
                    throw Error("Cannot create file \"" + full + "\". Not a regular file");
                if (m_imageId && id == *m_imageId)
                    throw Error(cannotCreateMessage(full, EBUSY));
                if (m_files.count(id) || foldedOntoOurs(dir, folderKey, name))
                    return false;
            }
            nameHidden(p, dir, full);
            if (m_ops.renameAt(dir, p.hidden.c_str(), name) != 0)
                failIn(dir, full, errno);
            p.hidden.clear();
            noteCreated(folderKey, name);
            return true;
        }
        throw Error(cannotCreateMessage(full, ELOOP));
    }

    // A file this run gave a name: new whatever its inode number (a removed file's may come
    // back); its identity is asked only when some name turns out to exist already.
    void noteCreated(const std::string& folderKey, const char* name)
    {
        if (m_unaskedBases.empty() || m_unaskedBases.back() != m_baseName)
            m_unaskedBases.push_back(m_baseName);
        m_unasked.push_back({m_unaskedBases.size() - 1, noteMade(folderKey, name)});
    }

    // Writes `name` into the folder; the planned path (base + folderKey + "/" + name) is used
    // as it is unless the folder or the file had to take another name. The bytes are copied
    // first, under no name, then the file is placed.
    Written writeFile(const Folder& folder, std::string_view base, std::string_view folderKey,
                      const char* name, const std::string& plannedFull, std::uint64_t offset,
                      std::uint64_t length)
    {
        const int dir = folder.fd.get();
        Written w;
        w.renamed = folder.actual != folderKey;
        std::string suffixed; // the name actually written, when it is not `name`
        std::string renamedFull;
        const auto fullFor = [&](const char* written) -> const std::string& {
            if (!w.renamed)
                return plannedFull;
            renamedFull.assign(base);
            renamedFull += folder.actual;
            renamedFull += '/';
            renamedFull += written;
            return renamedFull;
        };
        Pending out = openPending(dir, fullFor(name));
        try {
            copyRange(offset, length, out.fd.get(), fullFor(name));
            bool placed = place(out, dir, folder.actual, name, fullFor(name));
            // Every suffix tried collides with a file or folder written in this run.
            const std::size_t bound = m_folders.size() + m_files.size() + m_unasked.size() + 2;
            for (std::size_t k = 2; !placed && k <= bound; ++k) {
                suffixed = withSuffix(name, k);
                w.renamed = true;
                placed =
                    place(out, dir, folder.actual, suffixed.c_str(), fullFor(suffixed.c_str()));
            }
            const char* const written = suffixed.empty() ? name : suffixed.c_str();
            if (!placed)
                throw Error(cannotCreateMessage(fullFor(written), EEXIST));
            if (w.renamed)
                w.relative = folder.actual + "/" + written;
            // A failed close (a quota or network file system reporting late) fails the row,
            // and the file it names goes.
            if (::close(out.fd.release()) != 0 && errno != EINTR) {
                const int err = errno;
                m_ops.unlinkAt(dir, written, 0);
                throw writeFailure(fullFor(written), err);
            }
        } catch (...) {
            discard(out, dir);
            throw;
        }
        w.bytes = length;
        return w;
    }

    void writeAll(int fd, const std::uint8_t* data, std::size_t size, const std::string& full)
    {
        while (size > 0) {
            const ssize_t n = m_ops.write(fd, data, size);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                throw writeFailure(full, errno);
            }
            if (n == 0)
                throw writeFailure(full, EIO);
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    }

    void copyBuffered(std::uint64_t offset, std::uint64_t length, int out, const std::string& full)
    {
        if (m_buffer.empty() && length > 0)
            m_buffer.resize(kCopyBufferSize);
        while (length > 0) {
            const auto chunk =
                static_cast<std::size_t>(std::min<std::uint64_t>(length, m_buffer.size()));
            const std::size_t got = m_image.pread(offset, std::span(m_buffer).first(chunk));
            if (got != chunk)
                throw Error(kStreamReadError);
            writeAll(out, m_buffer.data(), got, full);
            offset += got;
            length -= got;
        }
    }

    void copyRange(std::uint64_t offset, std::uint64_t length, int out, const std::string& full)
    {
        const auto native = m_image.nativeFile();
        if (!native || !m_kernelCopy) {
            copyBuffered(offset, length, out, full);
            return;
        }
        auto in = static_cast<loff_t>(native->offset + offset);
        while (length > 0) {
            const auto chunk =
                static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyChunk));
            const ssize_t n = m_ops.copyRange(native->fd, &in, out, chunk);
            if (n > 0) {
                length -= static_cast<std::uint64_t>(n);
                continue;
            }
            if (n == 0)
                throw Error(kStreamReadError); // the image ended early
            switch (errno) {
            case EINTR:
                continue;
            case EXDEV:
            case ENOSYS:
            case EINVAL:
            case EOPNOTSUPP:
                // This pair of files cannot be copied in the kernel (another file system, most
                // often): go on from where it stopped (the output's position has advanced with
                // what was copied), and copy the rest of the run through the buffer.
                m_kernelCopy = false;
                copyBuffered(static_cast<std::uint64_t>(in) - native->offset, length, out, full);
                return;
            case ENOSPC:
            case EDQUOT:
            case EFBIG:
                throw writeFailure(full, errno);
            default:
                throw Error(kStreamReadError);
            }
        }
    }

    const Stream& m_image;
    const DirectoryOps& m_ops;
    std::optional<Identity> m_imageId;
    std::unordered_map<Identity, std::string, IdentityHash> m_folders; // -> planned path
    std::unordered_set<Identity, IdentityHash> m_files;
    // Files created whose identity was not asked yet: the base folder and the path below it.
    struct Unasked {
        std::size_t base; // in m_unaskedBases
        std::size_t made; // the entry in m_made: the path below that base
    };
    std::vector<Unasked> m_unasked;
    std::vector<std::string> m_unaskedBases;
    std::unordered_map<std::string, Folder, TextHash, std::equal_to<>>
        m_open; // by planned path below the base
    UniqueFd m_base;
    std::string m_baseName;
    bool m_baseGone = false; // the last base folder asked for was not there
    std::unordered_map<std::string, std::unordered_set<std::string>, TextHash, std::equal_to<>>
        m_madeNames;
    struct Made {
        std::size_t at; // in m_madeText
        std::size_t folderLength;
        std::size_t nameLength;
    };
    std::vector<Made> m_made;
    std::string m_madeText;
    bool m_madeIndexed = false;
    std::unordered_map<std::string, std::unordered_set<std::string>, TextHash, std::equal_to<>>
        m_listings;
    std::vector<std::uint8_t> m_buffer;
    bool m_kernelCopy = true;
    // Unnamed files are named through /proc on kernels before 6.10; asked once per run.
    bool m_unnamed = ::access("/proc/self/fd", X_OK) == 0;
};

ExtractionRun::ExtractionRun(const Stream& image, const DirectoryOps& ops)
    : m_impl(std::make_unique<Impl>(image, ops))
{}

ExtractionRun::~ExtractionRun() = default;

ExtractionRun::Written ExtractionRun::extract(const PlannedFile& file)
{
    return m_impl->extract(file);
}

bool ExtractionRun::baseGone() const
{
    return m_impl->baseGone();
}

} // namespace cartscope::core::detail
