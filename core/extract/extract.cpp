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
// or write failure during the copy (the image shrank, the disk is full) leaves no file either:
// a file gets its name only once it is complete.
//
// Writing: see extraction_run.cpp (folders, identities, the copy).
#include "core/extract/extract.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <span>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/base/paths.h"
#include "core/extract/extraction_run.h"

namespace cartscope::core {

namespace {

using detail::isSafeComponent;
using detail::withSuffix;

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

std::vector<PlannedFile> planExtraction(const std::string& destinationBase,
                                        const std::string& internalName, std::vector<FileRow> rows)
{
    std::string base = destinationBase.empty() ? std::string("./") : destinationBase;
    if (base.back() != '/')
        base.push_back('/');
    const std::string root = cleanName(internalName);
    const std::string rootPrefix = root + "/";
    const bool rootSafe = isSafeComponent(root);

    std::vector<PlannedFile> plan;
    // Reserved once: the sets below hold views into the plan's relative paths, which must not
    // move while the plan is made.
    plan.reserve(rows.size());
    // Paths relative to the internal-name folder, as taken by earlier rows of this plan.
    std::unordered_set<std::string_view> filePaths;
    std::unordered_set<std::string_view> dirPaths;
    filePaths.reserve(rows.size());
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

    // The folder of the previous row, as given and as planned. Rows of one folder mostly come
    // together, and such a row plans the same folder: the one file planned since, the previous
    // row's, has more components than any folder on this row's way, so it cannot be one of them.
    bool haveFolder = false;
    bool lastHadSlash = false;
    std::string lastRawFolder;
    std::string parent;                  // cleaned and renamed folders, "a/b" ("" for none)
    std::vector<std::size_t> prefixEnds; // where each folder on the way ends in `parent`
    bool parentRenamed = false;
    bool parentSafe = true;

    for (FileRow& row : rows) {
        std::string_view path = row.path;
        if (!path.empty() && path[0] == '/')
            path.remove_prefix(1);
        const std::size_t slash = path.rfind('/');
        const bool hasSlash = slash != std::string_view::npos;
        const std::string_view rawFolder = hasSlash ? path.substr(0, slash) : std::string_view();
        const bool newFolder =
            !haveFolder || hasSlash != lastHadSlash || rawFolder != lastRawFolder;
        if (newFolder) {
            haveFolder = true;
            lastHadSlash = hasSlash;
            lastRawFolder.assign(rawFolder);
            parent.clear();
            prefixEnds.clear();
            parentRenamed = false;
            parentSafe = true;
            // Each component, empty ones included, cleaned. A folder on the way that an earlier
            // row wrote as a file: this row's folder gets a suffix (and so do its siblings,
            // which land in the same renamed folder). Bounded by the path's length.
            for (std::size_t start = 0; hasSlash;) {
                const std::size_t end = rawFolder.find('/', start);
                std::string part = cleanName(std::string(
                    rawFolder.substr(start, end == std::string_view::npos ? end : end - start)));
                std::string here = parent.empty() ? part : parent + "/" + part;
                if (filePaths.count(here)) {
                    part = freeName(parent, part, false);
                    here = parent.empty() ? part : parent + "/" + part;
                    parentRenamed = true;
                }
                parentSafe = parentSafe && isSafeComponent(part);
                parent = std::move(here);
                prefixEnds.push_back(parent.size());
                if (end == std::string_view::npos)
                    break;
                start = end + 1;
            }
        }

        PlannedFile p;
        p.renamed = parentRenamed;
        std::string name = cleanName(std::string(hasSlash ? path.substr(slash + 1) : path));
        const auto relativeOf = [&](const std::string& leafName) {
            std::string r = rootPrefix;
            r.reserve(rootPrefix.size() + parent.size() + 1 + leafName.size());
            if (!parent.empty()) {
                r += parent;
                r += '/';
            }
            r += leafName;
            return r;
        };
        p.relative = relativeOf(name);
        const std::string_view leaf = std::string_view(p.relative).substr(rootPrefix.size());
        // The row's own folders may not be in dirPaths yet; none of them can be its leaf (or a
        // suffixed leaf), which has more components.
        if (filePaths.count(leaf) || dirPaths.count(leaf)) {
            name = freeName(parent, name, true);
            p.relative = relativeOf(name);
            p.renamed = true;
        }
        p.full = base + p.relative;
        // Every component is safe (never empty, ".", ".." or holding "/"), so the path lies
        // inside base/internal-name whatever the base is.
        if (!rootSafe || !parentSafe || !isSafeComponent(name))
            throw Error(cannotCreateMessage(p.full, EINVAL));
        p.offset = row.offset;
        p.size = row.size;
        p.row = std::move(row);
        plan.push_back(std::move(p));

        const std::string_view placed =
            std::string_view(plan.back().relative).substr(rootPrefix.size());
        filePaths.insert(placed);
        if (newFolder)
            for (const std::size_t end : prefixEnds)
                dirPaths.insert(placed.substr(0, end));
    }
    return plan;
}

void CreateSubDirs(const std::string& base, const std::string& relativeFolder)
{
    std::vector<std::string> folders;
    for (std::string& c : detail::splitPath(relativeFolder)) {
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

std::uint64_t extractPlanned(const Stream& image, const PlannedFile& file, const DirectoryOps& ops)
{
    detail::ExtractionRun run(image, ops);
    return run.extract(file).bytes;
}

ExtractSummary runExtraction(const Stream& image, const std::vector<PlannedFile>& plan,
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
            // A destination removed during the run fails every row alike: one message ends it.
            if (!options.keepGoing || run.baseGone())
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

ExtractSummary extractAll(const Stream& image, const std::vector<PlannedFile>& plan,
                          const std::function<bool(const ExtractProgress&)>& onProgress)
{
    ExtractOptions options;
    options.onProgress = onProgress;
    return runExtraction(image, plan, options);
}

} // namespace cartscope::core
