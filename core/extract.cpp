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
#include <fcntl.h>
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

// Opens base (following links: the user chose it) and then each folder below it without
// following links, creating the missing ones. Returns an invalid fd with errno set when a step
// fails; stops at the first component that is not safe.
UniqueFd openFolders(const std::string& base, const std::vector<std::string>& folders)
{
    UniqueFd dir(::open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid())
        return dir;
    for (const std::string& c : folders) {
        if (!isSafeComponent(c)) {
            errno = EINVAL;
            return UniqueFd();
        }
        // The result of the creation is not looked at: an existing folder is fine and any other
        // failure shows in the open that follows.
        ::mkdirat(dir.get(), c.c_str(), 0777);
        UniqueFd next(
            ::openat(dir.get(), c.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid())
            return next;
        struct stat st {};
        if (::fstat(next.get(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return UniqueFd();
        }
        dir = std::move(next);
    }
    return dir;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void copyBuffered(Stream& image, std::uint64_t offset, std::uint64_t length, int out)
{
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyBufferSize)));
    image.seek(offset);
    while (length > 0) {
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size()));
        const std::size_t got = image.read(std::span(buffer).first(chunk));
        if (got != chunk)
            throw Error(kStreamReadError);
        if (!writeAll(out, buffer.data(), got))
            throw Error(kStreamWriteError);
        length -= got;
    }
}

void copyRange(Stream& image, std::uint64_t offset, std::uint64_t length, int out)
{
    const auto native = image.nativeFile();
    if (!native) {
        copyBuffered(image, offset, length, out);
        return;
    }
    auto in = static_cast<loff_t>(native->offset + offset);
    while (length > 0) {
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyChunk));
        const ssize_t n = ::copy_file_range(native->fd, &in, out, nullptr, chunk, 0);
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
            // This pair of files cannot be copied in the kernel; go on from where it stopped
            // (the output's file position has advanced with what was copied).
            copyBuffered(image, static_cast<std::uint64_t>(in) - native->offset, length, out);
            return;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            throw Error(kStreamWriteError);
        default:
            throw Error(kStreamReadError);
        }
    }
}

// Makes room for a new regular file at name in dir. The open image itself (the same inode,
// through any path) is refused as busy, as a share-none open of the image makes it on other
// systems: truncating it would destroy the bytes being extracted. A symbolic link there is
// removed (never followed), and so is a file with more than one link, whose bytes would
// otherwise also change elsewhere.
void prepareDestination(Stream& image, int dir, const std::string& name, const std::string& full)
{
    struct stat target {};
    if (::fstatat(dir, name.c_str(), &target, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    const auto native = image.nativeFile();
    struct stat source {};
    if (native && ::fstat(native->fd, &source) == 0 && target.st_dev == source.st_dev &&
        target.st_ino == source.st_ino)
        throw Error(cannotCreateMessage(full, EBUSY));
    if (S_ISLNK(target.st_mode) || (S_ISREG(target.st_mode) && target.st_nlink > 1))
        ::unlinkat(dir, name.c_str(), 0);
}

// The folder of the previous file stays open for the next one: a whole-tree run writes folder by
// folder, and walking the chain again for each file would cost more system calls than the copy.
// Each row still creates its folders (mkdirat) when its folder differs from the previous one; a
// cached folder that was removed meanwhile is noticed by the failed create, which then retries
// with a fresh walk.
class FolderCache {
public:
    int open(const std::string& base, const std::vector<std::string>& folders, bool& reused)
    {
        std::string key = base;
        for (const std::string& f : folders) {
            key.push_back('/');
            key += f;
        }
        reused = m_dir.valid() && key == m_key;
        if (!reused) {
            m_key.clear();
            m_dir = openFolders(base, folders);
            if (m_dir.valid())
                m_key = std::move(key);
        }
        return m_dir.get();
    }
    void forget()
    {
        m_dir = UniqueFd();
        m_key.clear();
    }

private:
    UniqueFd m_dir;
    std::string m_key;
};

std::uint64_t extractWith(Stream& image, const PlannedFile& file, FolderCache& folders)
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

    const std::uint64_t length = file.size > 0 ? static_cast<std::uint64_t>(file.size) : 0;
    const std::uint64_t imageSize = image.size();
    if (length > 0 && !(file.offset <= imageSize && length <= imageSize - file.offset))
        throw Error(kStreamReadError);

    int dir = -1;
    UniqueFd out;
    for (int attempt = 0; attempt < 2 && !out.valid(); ++attempt) {
        bool reused = false;
        dir = folders.open(base, parts, reused);
        if (dir < 0)
            throw Error(cannotCreateMessage(full, errno));
        prepareDestination(image, dir, name, full);
        out = UniqueFd(::openat(dir, name.c_str(),
                                O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                                0666));
        if (!out.valid()) {
            const int err = errno;
            folders.forget();
            if (!reused || err != ENOENT)
                throw Error(cannotCreateMessage(full, err));
        }
    }
    if (!out.valid())
        throw Error(cannotCreateMessage(full, ENOENT));
    struct stat st {};
    if (::fstat(out.get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw Error("Cannot create file \"" + full + "\". Not a regular file");

    try {
        copyRange(image, file.offset, length, out.get());
        if (::close(out.release()) != 0 && errno != EINTR)
            throw Error(kStreamWriteError);
    } catch (...) {
        out = UniqueFd();
        ::unlinkat(dir, name.c_str(), 0);
        throw;
    }
    return length;
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
    openFolders(base.empty() ? std::string(".") : base, folders);
}

std::uint64_t extractPlanned(Stream& image, const PlannedFile& file)
{
    FolderCache folders;
    return extractWith(image, file, folders);
}

ExtractSummary extractAll(Stream& image, const std::vector<PlannedFile>& plan,
                          const std::function<bool(const ExtractProgress&)>& onProgress)
{
    ExtractSummary summary;
    FolderCache folders;
    const auto report = [&](const PlannedFile* current) {
        if (!onProgress)
            return true;
        return onProgress({summary.files, plan.size(), summary.bytes, current});
    };
    for (const PlannedFile& f : plan) {
        if (!report(&f)) {
            summary.cancelled = true;
            break;
        }
        summary.bytes += extractWith(image, f, folders);
        ++summary.files;
        if (f.renamed)
            ++summary.renamed;
    }
    report(nullptr);
    return summary;
}

} // namespace cartscope::core
