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
// Writing: see extraction_run.cpp (folders, identities, the copy).
#include "core/extract.h"

#include <algorithm>
#include <cerrno>
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
#include "core/extraction_run.h"
#include "core/fd.h"
#include "core/paths.h"

namespace cartscope::core {

namespace {

using detail::isSafeComponent;
using detail::joinPath;
using detail::splitPath;
using detail::withSuffix;

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
                                        const std::string& internalName, std::vector<FileRow> rows)
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
    for (FileRow& row : rows) {
        PlannedFile p;
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
        p.offset = row.offset;
        p.size = row.size;
        p.row = std::move(row);
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
    detail::ExtractionRun run(image, ops);
    return run.extract(file).bytes;
}

ExtractSummary runExtraction(Stream& image, const std::vector<PlannedFile>& plan,
                             const ExtractOptions& options)
{
    ExtractSummary summary;
    detail::ExtractionRun run(image, options.ops ? *options.ops : systemDirectoryOps());
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
        detail::ExtractionRun::Written w;
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
