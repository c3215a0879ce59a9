// Extraction of file list rows into a folder.
//
// Safety: names from an image are hostile. Every component is cleaned (cleanName), the joined
// path is checked to lie inside base/internal-name, and the files are written by walking from
// the base folder with openat/mkdirat: no component below the base is ever followed through a
// symbolic link (O_NOFOLLOW on every step), so a link planted inside the destination cannot
// redirect a write. An existing symbolic link or multiply-linked file at a file's destination is
// removed and a new regular file created in its place, so the write never reaches another inode;
// the open image itself is never a destination ("Device or resource busy").
//
// Ranges: a row's range is checked against the image size before anything is created, so a row
// that runs past the end of the image fails with "Stream read error" and leaves no file. A read
// or write failure during the copy (the image shrank, the disk is full) removes the partial file
// before the error goes on.
//
// Copying: from a FileStream the bytes go through copy_file_range (no user-space copy; a reflink
// where the file system can), falling back to a pread/write loop with one 1 MiB buffer when the
// kernel refuses the pair of files. The 1 MiB buffer is a throughput choice only: the bytes
// written are those of a copy through any smaller buffer. A row's size is never allocated.
#include "core/extract.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <span>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/error.h"
#include "core/fd.h"

namespace cartscope::core {

namespace {

constexpr std::size_t kCopyBufferSize = std::size_t{1} << 20;
constexpr std::size_t kCopyChunk = std::size_t{1} << 30; // per copy_file_range call

bool isSafeComponent(const std::string& c)
{
    return !c.empty() && c != "." && c != ".." && c.find('/') == std::string::npos &&
           c.find('\0') == std::string::npos;
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

// Lexical normal form of an absolute or relative path: "." dropped, ".." pops.
std::vector<std::string> normalise(const std::string& path)
{
    std::vector<std::string> out;
    for (const std::string& p : splitPath(path)) {
        if (p.empty() || p == ".")
            continue;
        if (p == "..") {
            if (!out.empty())
                out.pop_back();
            continue;
        }
        out.push_back(p);
    }
    return out;
}

bool liesInside(const std::string& full, const std::string& folder)
{
    const auto f = normalise(full);
    const auto d = normalise(folder);
    return f.size() > d.size() && std::equal(d.begin(), d.end(), f.begin());
}

std::string notValidInteger(const std::string& text)
{
    return "'" + text + "' is not a valid integer value";
}

std::uint64_t parseOffset(const std::string& text)
{
    std::uint32_t v = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v, 16);
    if (text.empty() || text.size() > 8 || ec != std::errc() || ptr != end)
        throw Error(notValidInteger("$" + text));
    return v;
}

std::int64_t parseSize(const std::string& text)
{
    std::int64_t v = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || ec != std::errc() || ptr != end)
        throw Error(notValidInteger(text));
    return v;
}

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

Error writeFailure(const std::string& full, int err)
{
    return Error("Cannot write file \"" + full + "\". " + std::strerror(err));
}

// The state of one extraction run: the folders it keeps open, and the identity of every file and
// folder it has written, against which a destination that folds letter case is caught.
//
// Folders stay open between files (a bounded number of them): a whole-tree run writes folder by
// folder, and walking the chain again for each file would cost more system calls than the copy.
// A folder is reached from the longest open prefix of its path; each row still creates the
// folders it walks. A cached folder that was removed meanwhile is noticed by the failed create
// (ENOENT), which then retries once with a fresh walk.
class ExtractionRun {
public:
    ExtractionRun(const Stream& image, const DirectoryOps& ops) : m_image(image), m_ops(ops)
    {
        // The open image is never a destination; its identity is asked once per run.
        if (const auto native = image.nativeFile()) {
            struct stat st {};
            if (ops.statFd(native->fd, &st) == 0)
                m_imageId = identityOf(st);
        }
    }

    struct Written {
        std::uint64_t bytes = 0;
        std::string relative; // as written, after any renaming
        bool renamed = false; // renamed here, at the destination (the plan may have renamed too)
    };

    Written extract(const PlannedFile& file)
    {
        // A row whose path had to be cut for length is never written under the cut name.
        if (file.row.pathTooLong)
            throw Error("Cannot extract \"" + file.row.path + "\": path too long");
        const std::string& full = file.full;
        if (file.relative.size() >= full.size() ||
            full.compare(full.size() - file.relative.size(), std::string::npos, file.relative) != 0)
            throw Error(cannotCreateMessage(full, EINVAL));
        const std::string base = full.substr(0, full.size() - file.relative.size());
        std::vector<std::string> parts = splitPath(file.relative);
        const std::string name = parts.back();
        parts.pop_back();
        if (parts.empty() || !isSafeComponent(name))
            throw Error(cannotCreateMessage(full, EINVAL));
        if (!rangeInsideImage(file, m_image.size()))
            throw Error(kStreamReadError);
        const std::uint64_t length = file.size > 0 ? static_cast<std::uint64_t>(file.size) : 0;

        for (int attempt = 0;; ++attempt) {
            bool cached = false;
            try {
                const Folder& folder = openFolder(base, parts, full, cached);
                return writeFile(folder, base, name, full, file.offset, length);
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
    static constexpr std::size_t kMaxOpenFolders = 64;

    void forgetFolders()
    {
        m_open.clear();
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

    const Folder& openFolder(const std::string& base, const std::vector<std::string>& parts,
                             const std::string& full, bool& cached)
    {
        if (!m_base.valid() || m_baseName != base) {
            forgetFolders();
            // The base is followed through links: the user chose it.
            m_base = UniqueFd(::open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!m_base.valid())
                throw Error(cannotCreateMessage(full, errno));
            m_baseName = base;
        }
        std::string key = joinPath(parts, parts.size());
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
        if (m_open.size() >= kMaxOpenFolders) {
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
            Folder next = enterFolder(parent, parts[k], planned, full);
            next.actual = actual.empty() ? next.actual : actual + "/" + next.actual;
            actual = next.actual;
            if (k + 1 == parts.size() || m_open.size() + 1 < kMaxOpenFolders) {
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
    Folder enterFolder(int parent, const std::string& name, const std::string& planned,
                       const std::string& full)
    {
        // Every suffix tried collides with a file or folder written in this run.
        const std::size_t bound = m_folders.size() + m_files.size() + 2;
        for (std::size_t k = 1; k <= bound; ++k) {
            const std::string candidate = k == 1 ? name : withSuffix(name, k);
            const int made = m_ops.mkdirAt(parent, candidate.c_str(), 0777);
            const int mkdirError = made != 0 && errno != EEXIST ? errno : 0;
            UniqueFd fd(m_ops.openAt(parent, candidate.c_str(),
                                     O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
            if (!fd.valid()) {
                const int openError = errno;
                if ((openError == ENOTDIR || openError == ELOOP) &&
                    writtenFileAt(parent, candidate))
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
            } else {
                const auto [it, inserted] = m_folders.emplace(identityOf(st), planned);
                if (!inserted && it->second != planned)
                    continue;
            }
            return Folder{std::move(fd), candidate};
        }
        throw Error(cannotCreateMessage(full, EEXIST));
    }

    bool writtenFileAt(int dir, const std::string& name) const
    {
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

    // Opens name in dir for writing. A file created here is new (whatever its inode number: a
    // removed file's may come back). An existing one is opened without truncating it, so that a
    // file this run wrote (reached again through a name that differs only in letter case) can be
    // recognised and left alone: an invalid fd then. A symbolic link there is removed, never
    // followed, and so is a file with more than one link, whose bytes would otherwise also
    // change elsewhere. The open image (the same inode, through any path) is refused as busy.
    UniqueFd openOutput(int dir, const std::string& name, const std::string& full)
    {
        constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
        // Each retry follows the removal of a link or a file that went meanwhile; a fourth is
        // never needed unless the folder keeps changing under the run.
        for (int attempt = 0; attempt < 4; ++attempt) {
            UniqueFd out(m_ops.openAt(dir, name.c_str(), kFlags | O_CREAT | O_EXCL, 0666));
            const bool created = out.valid();
            if (!created && errno == EEXIST)
                out = UniqueFd(m_ops.openAt(dir, name.c_str(), kFlags, 0));
            if (!out.valid()) {
                const int err = errno;
                if (err == ELOOP && m_ops.unlinkAt(dir, name.c_str(), 0) == 0)
                    continue;
                if (err == ENOENT && !created && attempt == 0)
                    continue; // removed between the two opens
                if (err == EISDIR && writtenFolderAt(dir, name))
                    return UniqueFd();
                if (err == ENOENT)
                    throw GoneError{err};
                throw Error(cannotCreateMessage(full, err));
            }
            struct stat st {};
            if (m_ops.statFd(out.get(), &st) != 0)
                throw Error(cannotCreateMessage(full, errno));
            const Identity id = identityOf(st);
            if (created) {
                m_files.insert(id);
                return out;
            }
            if (!S_ISREG(st.st_mode))
                throw Error("Cannot create file \"" + full + "\". Not a regular file");
            if (m_imageId && id == *m_imageId)
                throw Error(cannotCreateMessage(full, EBUSY));
            if (m_files.count(id))
                return UniqueFd();
            if (st.st_nlink > 1) {
                out = UniqueFd();
                m_ops.unlinkAt(dir, name.c_str(), 0);
                continue;
            }
            if (st.st_size > 0 && ::ftruncate(out.get(), 0) != 0)
                throw Error(cannotCreateMessage(full, errno));
            m_files.insert(id);
            return out;
        }
        throw Error(cannotCreateMessage(full, ELOOP));
    }

    Written writeFile(const Folder& folder, const std::string& base, const std::string& name,
                      const std::string& plannedFull, std::uint64_t offset, std::uint64_t length)
    {
        const int dir = folder.fd.get();
        Written w;
        std::string actualName = name;
        std::string full = base + folder.actual + "/" + name;
        UniqueFd out = openOutput(dir, name, full);
        // Every suffix tried collides with a file or folder written in this run.
        const std::size_t bound = m_folders.size() + m_files.size() + 2;
        for (std::size_t k = 2; !out.valid() && k <= bound; ++k) {
            actualName = withSuffix(name, k);
            full = base + folder.actual + "/" + actualName;
            out = openOutput(dir, actualName, full);
            w.renamed = true;
        }
        if (!out.valid())
            throw Error(cannotCreateMessage(full, EEXIST));
        w.relative = folder.actual + "/" + actualName;
        w.renamed = w.renamed || full != plannedFull;
        try {
            copyRange(offset, length, out.get(), full);
            if (::close(out.release()) != 0 && errno != EINTR)
                throw writeFailure(full, errno);
        } catch (...) {
            out = UniqueFd();
            m_ops.unlinkAt(dir, actualName.c_str(), 0);
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
        // Positioned reads: the stream's own position belongs to whoever else reads it.
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
    std::unordered_map<std::string, Folder> m_open; // by planned path below the base
    UniqueFd m_base;
    std::string m_baseName;
    std::vector<std::uint8_t> m_buffer;
    bool m_kernelCopy = true;
};

// Creates each folder below base (followed: the user chose it) without following links,
// stopping at the first that cannot be made or is not safe.
void createFolders(const std::string& base, const std::vector<std::string>& folders)
{
    UniqueFd dir(::open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (const std::string& c : folders) {
        if (!dir.valid() || !isSafeComponent(c))
            return;
        ::mkdirat(dir.get(), c.c_str(), 0777);
        dir =
            UniqueFd(::openat(dir.get(), c.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
}

} // namespace

std::string cleanName(const std::string& name)
{
    std::string out = name;
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F)
            c = '_';
    }
    if (out.empty() || out == "." || out == "..")
        out = "_" + out;
    return out;
}

std::vector<PlannedFile> planExtraction(const std::string& destinationBase,
                                        const std::string& internalName,
                                        const std::vector<FileRow>& rows)
{
    std::string base = destinationBase.empty() ? std::string("./") : destinationBase;
    if (base.back() != '/')
        base.push_back('/');
    const std::string root = cleanName(internalName);
    const std::string rootFolder = base + root + "/";

    // Paths relative to the internal-name folder, as taken by earlier rows of this plan.
    std::unordered_set<std::string> filePaths;
    std::unordered_set<std::string> dirPaths;
    // Next suffix to try per colliding path, so n rows of one path cost O(n), not O(n^2).
    std::unordered_map<std::string, std::uint64_t> nextSuffix;
    const auto freeName = [&](const std::string& parent, const std::string& name, bool forFile) {
        const auto taken = [&](const std::string& p) {
            return filePaths.count(p) || (forFile && dirPaths.count(p));
        };
        const std::string prefix = parent.empty() ? parent : parent + "/";
        std::uint64_t& k = nextSuffix[prefix + name];
        if (k < 2)
            k = 2;
        // Every name tried is taken by an earlier row, so this ends within rows.size() steps.
        while (taken(prefix + withSuffix(name, k)))
            ++k;
        return withSuffix(name, k);
    };

    std::vector<PlannedFile> plan;
    plan.reserve(rows.size());
    for (const FileRow& row : rows) {
        PlannedFile p;
        p.row = row;
        const std::string& path = row.path;
        auto parts = splitPath(!path.empty() && path[0] == '/' ? path.substr(1) : path);
        for (std::string& c : parts)
            c = cleanName(c);

        // A folder on the way that an earlier row wrote as a file: this row's folder gets a
        // suffix (and so do its siblings, which land in the same renamed folder).
        std::string parent;
        for (std::size_t k = 0; k + 1 < parts.size(); ++k) {
            std::string here = parent.empty() ? parts[k] : parent + "/" + parts[k];
            if (filePaths.count(here)) {
                parts[k] = freeName(parent, parts[k], false);
                here = parent.empty() ? parts[k] : parent + "/" + parts[k];
                p.renamed = true;
            }
            dirPaths.insert(here);
            parent = std::move(here);
        }
        std::string leaf = joinPath(parts, parts.size());
        if (filePaths.count(leaf) || dirPaths.count(leaf)) {
            parts.back() = freeName(parent, parts.back(), true);
            leaf = joinPath(parts, parts.size());
            p.renamed = true;
        }
        filePaths.insert(leaf);

        p.relative = root + "/" + leaf;
        p.full = base + p.relative;
        const bool clean =
            std::all_of(parts.begin(), parts.end(), isSafeComponent) && isSafeComponent(root);
        if (!clean || !liesInside(p.full, rootFolder))
            throw Error(cannotCreateMessage(p.full, EINVAL));
        p.offset = parseOffset(row.offset);
        p.size = parseSize(row.size);
        plan.push_back(std::move(p));
    }
    return plan;
}

void CreateSubDirs(const std::string& base, const std::string& relativeFolder)
{
    std::vector<std::string> folders;
    for (std::string& c : splitPath(relativeFolder)) {
        if (!c.empty())
            folders.push_back(std::move(c));
    }
    createFolders(base.empty() ? std::string(".") : base, folders);
}

bool rangeInsideImage(const PlannedFile& file, std::uint64_t imageSize)
{
    if (file.size <= 0)
        return true;
    const auto length = static_cast<std::uint64_t>(file.size);
    return file.offset <= imageSize && length <= imageSize - file.offset;
}

std::uint64_t extractPlanned(Stream& image, const PlannedFile& file, const DirectoryOps& ops)
{
    ExtractionRun run(image, ops);
    return run.extract(file).bytes;
}

ExtractSummary runExtraction(Stream& image, const std::vector<PlannedFile>& plan,
                             const ExtractOptions& options)
{
    ExtractSummary summary;
    ExtractionRun run(image, options.ops ? *options.ops : systemDirectoryOps());
    const auto report = [&](const PlannedFile* current) {
        if (!options.onProgress)
            return true;
        return options.onProgress(
            {summary.files + summary.failures.size(), plan.size(), summary.bytes, current});
    };
    for (const PlannedFile& f : plan) {
        if (!report(&f)) {
            summary.cancelled = true;
            break;
        }
        ExtractionRun::Written w;
        try {
            w = run.extract(f);
        } catch (const Error& e) {
            if (!options.keepGoing)
                throw;
            // "Stream read error" says nothing about which file or why, where the run goes on.
            summary.failures.push_back(
                {f.row.path, rangeInsideImage(f, image.size())
                                 ? std::string(e.what())
                                 : "Its range lies past the end of the image"});
            if (options.onFailure)
                options.onFailure(summary.failures.back());
            continue;
        }
        summary.bytes += w.bytes;
        ++summary.files;
        if (w.renamed && options.onRenamed)
            options.onRenamed(f, w.relative);
        if (f.renamed || w.renamed)
            ++summary.renamed;
    }
    report(nullptr);
    return summary;
}

ExtractSummary extractAll(Stream& image, const std::vector<PlannedFile>& plan,
                          const std::function<bool(const ExtractProgress&)>& onProgress)
{
    ExtractOptions options;
    options.onProgress = onProgress;
    return runExtraction(image, plan, options);
}

} // namespace cartscope::core
